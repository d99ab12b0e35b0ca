// Windows: the same promise as elsewhere, with the system's own calls. The result goes to
// a new file beside the output, flushed to disk, and then takes the output's place;
// ReplaceFile keeps an existing output's attributes and access rights.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <cerrno>
#include <string>

#include "cli/fatal.h"
#include "model/output_file.h"

namespace fmskins {
namespace {

constexpr std::size_t io_block = std::size_t{1} << 30U;

bool write_fully(int descriptor, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t count = bytes.size() < io_block ? bytes.size() : io_block;
    const int put = _write(descriptor, bytes.data(), static_cast<unsigned>(count));
    if (put <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

// The directory part of `path`, with its separator, or "" for a bare name (or "C:" for a
// name relative to a drive).
std::string directory_prefix(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

void write_directly(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int descriptor =
      _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    fatal("Unable to open output model file", errno);
  }
  if (!write_fully(descriptor, bytes)) {
    fatal("Unable to write output model file", -1);
  }
  if (_close(descriptor) != 0) {
    fatal("Unable to close output model file", -1);
  }
}

// True for a device such as NUL or CON, which cannot be replaced and is written directly.
// The C library's stat does not report every device, so the system is asked.
bool is_device(const std::string& path) {
  HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

[[noreturn]] void fail_with_temporary(const std::string& temporary, int descriptor,
                                      const char* message) {
  if (descriptor >= 0) {
    (void)_close(descriptor);
  }
  (void)_unlink(temporary.c_str());
  fatal(message, -1);
}

}  // namespace

void write_output_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (is_device(path)) {
    write_directly(path, bytes);
    return;
  }
  struct _stat64 existing {};
  const bool exists = _stat64(path.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) {
    fatal("Unable to open output model file", errno);
  }
  if (exists && (existing.st_mode & _S_IFMT) == _S_IFDIR) {
    fatal("Unable to open output model file", EISDIR);
  }
  if (exists && (existing.st_mode & _S_IFMT) != _S_IFREG) {
    write_directly(path, bytes);  // a device such as NUL or CON
    return;
  }
  if (exists) {
    // A read-only output is not replaced behind the user's back. The attribute is checked
    // as such, since an administrator may open such a file for writing all the same.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      fatal("Unable to open output model file", EACCES);
    }
    const int probe = _open(path.c_str(), _O_WRONLY | _O_BINARY);
    if (probe < 0) {
      fatal("Unable to open output model file", errno);
    }
    (void)_close(probe);
  }

  const std::string base = directory_prefix(path) + "." +
                           path.substr(directory_prefix(path).size()).substr(0, 200) + ".fmskins-";
  std::string temporary;
  int descriptor = -1;
  for (unsigned attempt = 0; descriptor < 0; ++attempt) {
    temporary = base + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    descriptor =
        _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0 && (errno != EEXIST || attempt > 1000)) {
      fatal(exists ? "Unable to create temporary output model file"
                   : "Unable to open output model file",
            errno);
    }
  }
  if (!write_fully(descriptor, bytes) || _commit(descriptor) != 0) {
    fail_with_temporary(temporary, descriptor, "Unable to write output model file");
  }
  if (_close(descriptor) != 0) {
    fail_with_temporary(temporary, -1, "Unable to close output model file");
  }
  const bool replaced =
      (exists && ReplaceFileA(path.c_str(), temporary.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0) ||
      MoveFileExA(temporary.c_str(), path.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!replaced) {
    fail_with_temporary(temporary, -1, "Unable to replace output model file");
  }
}

}  // namespace fmskins
