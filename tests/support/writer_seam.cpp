// Preloaded into the tool (LD_PRELOAD) by tests of the writer, to play file systems and
// moments that the scratch directory cannot: each behaviour is asked for by an environment
// variable, and every call it does not touch goes to the C library's own.
//   FMSKINS_SEAM_NO_TMPFILE=1    every open of an unnamed temporary file (O_TMPFILE) fails
//                                with EOPNOTSUPP, as on file systems that have none (vfat,
//                                some network file systems)
//   FMSKINS_SEAM_NO_MODES=1      fchmod and fchown fail with ENOSYS, as on a FAT file system
//                                through FUSE
//   FMSKINS_SEAM_HOLD_FSYNC=N:D  the Nth fsync waits, once D/held exists, until the test
//                                makes D/go (at most 20 seconds)
//   FMSKINS_SEAM_HOLD_WRITE=F:D  the first write to descriptor F waits in the same way

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);

bool asked(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool unnamed_refused(int flags) {
  if ((flags & O_TMPFILE) == O_TMPFILE && asked("FMSKINS_SEAM_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return true;
  }
  return false;
}

template <typename Function>
Function next(const char* symbol) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

mode_t mode_argument(int flags, std::va_list& arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
}

// Makes `folder`/held, then waits until `folder`/go exists, 20 seconds at most.
void hold(const std::string& folder) {
  (void)close(open((folder + "/held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  const struct timespec pause { 0, 5000000 };
  for (int wait = 0; wait < 4000 && access((folder + "/go").c_str(), F_OK) != 0; ++wait) {
    (void)nanosleep(&pause, nullptr);
  }
}

// Holds when the variable `name`, "N:D", asks for it and `count` has just reached N.
void hold_at(const char* name, long count) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return;
  }
  char* rest = nullptr;
  const long which = std::strtol(value, &rest, 10);
  if (count == which && rest != nullptr && *rest == ':') {
    hold(rest + 1);
  }
}

void hold_if_asked() {
  static long calls = 0;
  hold_at("FMSKINS_SEAM_HOLD_FSYNC", ++calls);
}

void hold_write_if_asked(int descriptor) {
  static bool held = false;
  if (!held) {
    const char* value = std::getenv("FMSKINS_SEAM_HOLD_WRITE");
    held = value != nullptr && std::strtol(value, nullptr, 10) == descriptor;
    if (held) {
      hold_at("FMSKINS_SEAM_HOLD_WRITE", descriptor);
    }
  }
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return unnamed_refused(flags) ? -1 : next<OpenFunction>("open")(path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return unnamed_refused(flags) ? -1 : next<OpenFunction>("open64")(path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return unnamed_refused(flags) ? -1 : next<OpenAtFunction>("openat")(folder, path, flags, mode);
}

extern "C" int openat64(int folder, const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return unnamed_refused(flags) ? -1 : next<OpenAtFunction>("openat64")(folder, path, flags, mode);
}

extern "C" int fchmod(int descriptor, mode_t mode) {
  if (asked("FMSKINS_SEAM_NO_MODES")) {
    errno = ENOSYS;
    return -1;
  }
  return next<int (*)(int, mode_t)>("fchmod")(descriptor, mode);
}

extern "C" int fchown(int descriptor, uid_t owner, gid_t group) {
  if (asked("FMSKINS_SEAM_NO_MODES")) {
    errno = ENOSYS;
    return -1;
  }
  return next<int (*)(int, uid_t, gid_t)>("fchown")(descriptor, owner, group);
}

extern "C" int fsync(int descriptor) {
  hold_if_asked();
  return next<int (*)(int)>("fsync")(descriptor);
}

extern "C" ssize_t write(int descriptor, const void* bytes, size_t count) {
  hold_write_if_asked(descriptor);
  return next<ssize_t (*)(int, const void*, size_t)>("write")(descriptor, bytes, count);
}

extern "C" ssize_t writev(int descriptor, const struct iovec* parts, int count) {
  hold_write_if_asked(descriptor);
  return next<ssize_t (*)(int, const struct iovec*, int)>("writev")(descriptor, parts, count);
}

extern "C" ssize_t pwrite(int descriptor, const void* bytes, size_t count, off_t offset) {
  hold_write_if_asked(descriptor);
  return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(descriptor, bytes, count,
                                                                      offset);
}

extern "C" ssize_t pwrite64(int descriptor, const void* bytes, size_t count, off64_t offset) {
  hold_write_if_asked(descriptor);
  return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(descriptor, bytes, count,
                                                                          offset);
}
