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

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
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

void hold_if_asked() {
  static int calls = 0;
  const char* value = std::getenv("FMSKINS_SEAM_HOLD_FSYNC");
  if (value == nullptr) {
    return;
  }
  char* rest = nullptr;
  const long which = std::strtol(value, &rest, 10);
  if (++calls != which || rest == nullptr || *rest != ':') {
    return;
  }
  const std::string folder = rest + 1;
  (void)close(open((folder + "/held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  const struct timespec pause { 0, 5000000 };
  for (int wait = 0; wait < 4000 && access((folder + "/go").c_str(), F_OK) != 0; ++wait) {
    (void)nanosleep(&pause, nullptr);
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
