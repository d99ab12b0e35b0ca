// Windows: naming the output and deciding how it is written. A device (NUL, CON) or the
// tool's own standard output is written through; a file on a disk is only ever replaced
// whole, through a temporary one (output_replace_windows.cpp). Names go to the system as
// UTF-16, so any name it allows works.

#include <windows.h>

#include <cerrno>
#include <string>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/windows_text.h"
#include "files/model_file.h"
#include "files/output_windows.h"

namespace fmskins {

bool same_disk_file(const std::wstring& path, HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    return false;
  }
  // No access asked for: this open cannot collide with any other program's sharing.
  const HANDLE named =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION one{};
  BY_HANDLE_FILE_INFORMATION other{};
  const bool same = GetFileInformationByHandle(named, &one) != 0 &&
                    GetFileInformationByHandle(handle, &other) != 0 &&
                    one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                    one.nFileIndexHigh == other.nFileIndexHigh &&
                    one.nFileIndexLow == other.nFileIndexLow;
  CloseHandle(named);
  return same;
}

int error_number_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EINVAL;
  }
}

[[noreturn]] void cannot_open(int error_number) {
  fatal("Unable to open output model file", error_number);
}

void write_output_file(const OutputRequest& request) {
  const std::string& path = request.output_path;
  if (path.empty()) {
    cannot_open(ENOENT);  // as opening an empty name fails
  }
  if (path.back() == '/' || path.back() == '\\') {
    cannot_open(EISDIR);  // a name with a trailing separator can only be a directory
  }
  if (names_windows_device(path)) {
    // "aux.fm" opens the AUX device: the run would say "Wrote:" and no file would hold it.
    fatal(std::string("Unable to open output model file\n") + device_name_note, EINVAL);
  }
  const std::wstring wide_path = system_path(path);

  // The tool's own standard output or standard error, by whatever name: written through
  // that handle at its own position, after the report lines before it. Replacing the file
  // would throw the report (or a log being appended to) away.
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE standard = GetStdHandle(which);
    if (same_disk_file(wide_path, standard)) {
      if (model_changed_since_read(request.model, request.model_path)) {
        fatal("Model file changed while it was being edited", -1);
      }
      flush_report();
      if (!write_fully(standard, request)) {
        fatal("Unable to write output model file", -1);
      }
      return;
    }
  }

  // Decide by what is actually opened (without creating or truncating it), never by a
  // separate lookup: a device such as NUL or CON is written through that very handle, and
  // a regular file is only ever replaced whole, never truncated and rewritten in place.
  const HANDLE opened = CreateFileW(wide_path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool exists = true;
  if (opened == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      cannot_open(EISDIR);
    }
    // A file another program holds without write sharing exists, and is replaced below.
    if (error == ERROR_FILE_NOT_FOUND) {
      exists = false;
    } else if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
      cannot_open(error_number_of(error));
    }
  } else if (GetFileType(opened) != FILE_TYPE_DISK) {
    if (model_changed_since_read(request.model, request.model_path)) {
      (void)CloseHandle(opened);
      fatal("Model file changed while it was being edited", -1);
    }
    flush_report();
    const bool written = write_fully(opened, request);
    if (CloseHandle(opened) == 0 || !written) {
      fatal(written ? "Unable to close output model file" : "Unable to write output model file",
            -1);
    }
    return;
  } else {
    (void)CloseHandle(opened);
  }
  if (exists) {
    // A read-only output is not replaced behind the user's back. The attribute is checked
    // as such, since an administrator may open such a file for writing all the same.
    const DWORD attributes = GetFileAttributesW(wide_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      cannot_open(EACCES);
    }
  }

  replace_through_temporary(wide_path, request, exists);
}

}  // namespace fmskins
