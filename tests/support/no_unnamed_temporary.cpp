// Preloaded into the tool (LD_PRELOAD) by the tests of the named-temporary path: makes every
// open of an unnamed temporary file (O_TMPFILE) fail with EOPNOTSUPP, as on file systems that
// have none (vfat, some network file systems), so that the writer names its temporary file
// from the start. Every other open goes to the C library's own.

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using OpenFunction = int (*)(const char*, int, ...);

int open_unless_unnamed(const char* symbol, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, symbol));
  return real(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  return open_unless_unnamed("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  return open_unless_unnamed("open64", path, flags, mode);
}
