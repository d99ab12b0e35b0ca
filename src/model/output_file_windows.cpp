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

[[noreturn]] void cannot_open(int error_number) {
  fatal("Unable to open output model file", error_number);
}

// Writes through a descriptor already open on a device such as NUL or CON.
void write_through(int descriptor, std::span<const std::uint8_t> bytes) {
  if (!write_fully(descriptor, bytes)) {
    fatal("Unable to write output model file", -1);
  }
  if (_close(descriptor) != 0) {
    fatal("Unable to close output model file", -1);
  }
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
  if (path.empty()) {
    cannot_open(ENOENT);  // as opening an empty name fails
  }
  if (path.back() == '/' || path.back() == '\\') {
    cannot_open(EISDIR);  // a name with a trailing separator can only be a directory
  }
  // Decide by what is actually opened (without creating or truncating it), never by a
  // separate lookup: a device is written through that very descriptor, and a regular file
  // is only ever replaced whole, never truncated and rewritten in place.
  const int descriptor = _open(path.c_str(), _O_WRONLY | _O_BINARY);
  bool exists = descriptor >= 0;
  if (!exists) {
    const int error_number = errno;
    struct _stat64 status {};
    if (error_number == EACCES && _stat64(path.c_str(), &status) == 0 &&
        (status.st_mode & _S_IFMT) == _S_IFDIR) {
      cannot_open(EISDIR);
    }
    if (error_number != ENOENT) {
      cannot_open(error_number);
    }
  } else {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      write_through(descriptor, bytes);
      return;
    }
    (void)_close(descriptor);
    // A read-only output is not replaced behind the user's back. The attribute is checked
    // as such, since an administrator may open such a file for writing all the same.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      cannot_open(EACCES);
    }
  }

  const std::string base = directory_prefix(path) + "." +
                           path.substr(directory_prefix(path).size()).substr(0, 200) + ".fmskins-";
  std::string temporary;
  int temporary_descriptor = -1;
  for (unsigned attempt = 0; temporary_descriptor < 0; ++attempt) {
    temporary = base + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    temporary_descriptor =
        _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (temporary_descriptor < 0 && (errno != EEXIST || attempt > 1000)) {
      fatal(exists ? "Unable to create temporary output model file"
                   : "Unable to open output model file",
            errno);
    }
  }
  if (!write_fully(temporary_descriptor, bytes) || _commit(temporary_descriptor) != 0) {
    fail_with_temporary(temporary, temporary_descriptor, "Unable to write output model file");
  }
  if (_close(temporary_descriptor) != 0) {
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
