// Names are UTF-8 inside the tool and go to the system as UTF-16, so that any name it
// allows can be opened.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#include <cerrno>
#include <cstdint>

#include "cli/windows_text.h"
#include "files/model_file_system.h"
#include "files/output_windows.h"

namespace fmskins {
namespace {

// Windows keeps no status change time; the modification time is kept in whole seconds.
void take_status(const struct _stat64& found, ModelFileStatus& status) {
  status.directory = (found.st_mode & S_IFMT) == S_IFDIR;
  status.mark = {(found.st_mode & S_IFMT) == S_IFREG,
                 found.st_size,
                 static_cast<std::int64_t>(found.st_mtime) * 1000000000,
                 0,
                 static_cast<std::uint64_t>(found.st_nlink),
                 found.st_mode,
                 0,
                 0};
}

}  // namespace

bool path_status(const std::string& path, ModelFileStatus& status) {
  const std::wstring name = system_path(path);
  struct _stat64 found {};
  if (!name.starts_with(L"\\\\?\\")) {
    if (_wstat64(name.c_str(), &found) != 0) {
      return false;
    }
    take_status(found, status);
    return true;
  }
  // The C library's status call takes no \\?\ name: the file is opened, asking for no
  // access, and its handle asked instead.
  const HANDLE file =
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = error_number_of(GetLastError());
    return false;
  }
  const int descriptor =
      _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    (void)CloseHandle(file);
    return false;
  }
  const bool found_status = _fstat64(descriptor, &found) == 0;
  (void)_close(descriptor);
  if (found_status) {
    take_status(found, status);
  }
  return found_status;
}

// Another program (a virus scanner, an indexer, the exporter) may hold the model without
// sharing for a moment: the open is retried for about two seconds, as the replace is. For
// an edit the model is shared for reading and deleting only, so that no program can open
// it for writing during the run; one that has it open for writing already makes the open
// fail as held, and is told apart from a holder that shares no reading by an open that
// shares everything.
int open_model(const std::string& path, bool shut_out_writers) {
  const std::wstring wide = system_path(path);
  const DWORD sharing =
      FILE_SHARE_READ | FILE_SHARE_DELETE | (shut_out_writers ? 0 : FILE_SHARE_WRITE);
  DWORD pause = 10;
  DWORD waited = 0;
  for (;;) {
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const int descriptor =
          _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY);
      if (descriptor < 0) {
        (void)CloseHandle(handle);
      }
      return descriptor;
    }
    const DWORD error = GetLastError();
    const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!held || waited >= 2000) {
      if (held && shut_out_writers) {
        const HANDLE shared = CreateFileW(wide.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (shared != INVALID_HANDLE_VALUE) {
          (void)CloseHandle(shared);
          return model_being_written;
        }
      }
      errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                      error == ERROR_INVALID_DRIVE
                  ? ENOENT
              : error == ERROR_ACCESS_DENIED || held ? EACCES
                                                     : EINVAL;
      return -1;
    }
    Sleep(pause);
    waited += pause;
    pause = pause * 2 < 250 ? pause * 2 : 250;
  }
}

bool descriptor_status(int descriptor, ModelFileStatus& status) {
  struct _stat64 found {};
  if (_fstat64(descriptor, &found) != 0) {
    return false;
  }
  take_status(found, status);
  return true;
}

std::int64_t seek_model(int descriptor, std::int64_t offset, int whence) {
  return _lseeki64(descriptor, offset, whence);
}

std::int64_t read_model_some(int descriptor, std::uint8_t* bytes, std::size_t count) {
  return _read(descriptor, bytes, static_cast<unsigned>(count));
}

// Read into memory instead.
std::uint8_t* map_model(int /*descriptor*/, std::size_t /*length*/) { return nullptr; }

bool mapped_pages_lost() { return false; }

// Writers are kept out by the sharing the model is opened with, not watched.
bool keep_writers_out(int /*descriptor*/) { return true; }

bool writers_watched() { return false; }

bool written_while_watched() { return false; }

// Kept open, so that writers stay shut out; the writer closes it just before the replace,
// since an open file cannot be renamed over on every Windows file system.
int keep_model_open(int descriptor) { return descriptor; }

// The name must still hold the file that was read: a file another program renamed over it
// is a change, even one of the same size saved within the same second.
bool status_since_read(const ModelImage& model, const std::string& path, ModelFileStatus& status) {
  if (!path_status(path, status)) {
    return false;
  }
  if (model.descriptor < 0) {
    return true;
  }
  const auto read = reinterpret_cast<HANDLE>(_get_osfhandle(model.descriptor));
  return read == INVALID_HANDLE_VALUE || same_disk_file(system_path(path), read);
}

}  // namespace fmskins
