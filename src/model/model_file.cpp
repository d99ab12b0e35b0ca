#include "model/model_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

#include "cli/fatal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include "cli/windows_text.h"
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif

namespace fmskins {
namespace {

// The few file calls this needs, with 64-bit lengths on every system.
#if defined(_WIN32)
using FileStatus = struct _stat64;
// Names are UTF-8 inside the tool and go to the system as UTF-16, so that any name it
// allows can be opened.
int file_status(const std::string& path, FileStatus* status) {
  return _wstat64(widen(path).c_str(), status);
}
// Another program (a virus scanner, an indexer, the exporter) may hold the model without
// sharing for a moment: the open is retried for about two seconds, as the replace is.
int open_file(const std::string& path, int flags) {
  const std::wstring wide = widen(path);
  DWORD pause = 10;
  DWORD waited = 0;
  for (;;) {
    const int descriptor = _wopen(wide.c_str(), flags);
    const bool held = descriptor < 0 &&
                      (_doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION);
    if (!held || waited >= 2000) {
      return descriptor;
    }
    Sleep(pause);
    waited += pause;
    pause = pause * 2 < 250 ? pause * 2 : 250;
  }
}
int descriptor_status(int descriptor, FileStatus* status) { return _fstat64(descriptor, status); }
std::int64_t seek(int descriptor, std::int64_t offset, int whence) {
  return _lseeki64(descriptor, offset, whence);
}
std::int64_t read_some(int descriptor, std::uint8_t* bytes, std::size_t count) {
  return _read(descriptor, bytes, static_cast<unsigned>(count));
}
// Windows keeps no status change time; the modification time is kept in whole seconds here.
FileMark mark_of(const FileStatus& status) {
  return {(status.st_mode & S_IFMT) == S_IFREG, status.st_size,
          static_cast<std::int64_t>(status.st_mtime) * 1000000000, 0};
}
#else
using FileStatus = struct stat;
int file_status(const std::string& path, FileStatus* status) { return stat(path.c_str(), status); }
int open_file(const std::string& path, int flags) { return open(path.c_str(), flags); }
int descriptor_status(int descriptor, FileStatus* status) { return fstat(descriptor, status); }
std::int64_t seek(int descriptor, std::int64_t offset, int whence) {
  return lseek(descriptor, static_cast<off_t>(offset), whence);
}
std::int64_t read_some(int descriptor, std::uint8_t* bytes, std::size_t count) {
  return read(descriptor, bytes, count);
}
std::int64_t nanoseconds_of(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}
FileMark mark_of(const FileStatus& status) {
  return {S_ISREG(status.st_mode), static_cast<std::int64_t>(status.st_size),
          nanoseconds_of(status.st_mtim), nanoseconds_of(status.st_ctim)};
}
#endif

// The most one read call is asked to move; Linux moves at most about 2 GiB.
constexpr std::size_t io_block = std::size_t{1} << 30U;

[[noreturn]] void cannot_open_model(const RunOptions& options, int error_number) {
  usage_fatal(options.program_name, "Can't open input model file", error_number);
}

// Reads exactly `count` bytes; false on an error or an early end of file.
bool read_fully(int descriptor, std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const std::int64_t got = read_some(descriptor, bytes, count < io_block ? count : io_block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

ModelImage read_model_file(const RunOptions& options) {
  // A directory opens for reading on some systems, and seeking to its end yields no
  // length worth the name; on others it fails to open with a less telling error. Either
  // way it is reported as a directory.
  FileStatus status{};
  if (file_status(options.model_path, &status) == 0 && S_ISDIR(status.st_mode)) {
    cannot_open_model(options, EISDIR);
  }
  // Non-blocking, so that naming a FIFO fails on the seek below instead of waiting for a
  // writer; it changes nothing for regular files.
  const int descriptor =
      open_file(options.model_path, O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) {
    cannot_open_model(options, errno);
  }
  if (descriptor_status(descriptor, &status) != 0) {
    cannot_open_model(options, errno);
  }
  if (S_ISDIR(status.st_mode)) {
    cannot_open_model(options, EISDIR);
  }
  const std::int64_t end = seek(descriptor, 0, SEEK_END);
  if (end < 0) {
    cannot_open_model(options, errno);
  }
  if (seek(descriptor, 0, SEEK_SET) != 0) {
    cannot_open_model(options, errno);
  }

  ModelImage model;
  if (static_cast<std::uintmax_t>(end) > std::numeric_limits<std::size_t>::max()) {
    fatal("Can't allocate memory to read model", -1);
  }
  model.length = static_cast<std::size_t>(end);
  model.bytes = allocate_bytes(model.length);
  if (!model.bytes) {
    fatal("Can't allocate memory to read model", -1);
  }
  if (!read_fully(descriptor, model.bytes.get(), model.length)) {
    fatal("Can't read input model file", -1);
  }
  model.mark = mark_of(status);
#if defined(_WIN32)
  (void)_close(descriptor);  // read-only: nothing is lost if closing fails
#else
  model.descriptor = descriptor;
#endif
  return model;
}

bool model_changed_since_read(const ModelImage& model, const std::string& model_path) {
  if (!model.mark.regular) {
    return false;
  }
  FileStatus status{};
#if defined(_WIN32)
  const int looked = file_status(model_path, &status);
#else
  static_cast<void>(model_path);
  const int looked = descriptor_status(model.descriptor, &status);
#endif
  if (looked != 0) {
    return true;
  }
  const FileMark now = mark_of(status);
  return now.size != model.mark.size || now.modified_ns != model.mark.modified_ns ||
         now.changed_ns != model.mark.changed_ns;
}

}  // namespace fmskins
