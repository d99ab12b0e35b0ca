// Windows: the same promise as elsewhere, with the system's own calls. The result goes to
// a new file beside the output, flushed to disk, which is given the output's attributes,
// access list, owner (where permitted) and creation time, and then renamed over the output
// in one step: the output's name holds the old file or the new one at every instant. Names
// go to the system as UTF-16, so any name it allows works.

#include <windows.h>

#include <aclapi.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/windows_text.h"
#include "model/model_file.h"
#include "model/output_file.h"

namespace fmskins {
namespace {

constexpr std::size_t io_block = std::size_t{1} << 30U;

// The temporary file, for the console's interrupt handler: removed while it is being
// written, and never while it is being put in the output's place, when it may be the only
// copy there is; the handler then waits for the replace to end.
std::array<wchar_t, 32768> pending_temporary{};
enum class Pending { none, written, replacing };
std::atomic<Pending> pending{Pending::none};

// Ctrl-C, Ctrl-Break, closing the console, logging off: the temporary file goes, then the
// system's own handling ends the process. The file is open with delete sharing, so the
// deletion takes effect when the process's handles close.
BOOL WINAPI remove_temporary_on_interrupt(DWORD /*event*/) {
  while (pending.load() == Pending::replacing) {
    Sleep(1);
  }
  if (pending.load() == Pending::written) {
    (void)DeleteFileW(pending_temporary.data());
  }
  return FALSE;
}

void guard_temporary(const std::wstring& temporary) {
  if (temporary.size() >= pending_temporary.size()) {
    return;
  }
  std::copy(temporary.begin(), temporary.end(), pending_temporary.begin());
  pending_temporary[temporary.size()] = L'\0';
  pending.store(Pending::written);
  (void)SetConsoleCtrlHandler(remove_temporary_on_interrupt, TRUE);
}

void release_temporary_guard() {
  pending.store(Pending::none);
  (void)SetConsoleCtrlHandler(remove_temporary_on_interrupt, FALSE);
}

// The C library's error number for a failed file call, as the tool's statuses use them.
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

// Writes the output's pieces in order, each from the model image or the tool's own bytes.
bool write_fully(HANDLE handle, const OutputRequest& request) {
  for (const OutputPiece& piece : request.output.pieces) {
    std::span<const std::uint8_t> bytes =
        piece_bytes(request.output, model_bytes(request.model), piece);
    while (!bytes.empty()) {
      DWORD put = 0;
      const auto count = static_cast<DWORD>(std::min(bytes.size(), io_block));
      if (WriteFile(handle, bytes.data(), count, &put, nullptr) == 0 || put == 0) {
        return false;
      }
      bytes = bytes.subspan(put);
    }
  }
  return true;
}

// The directory part of `path`, with its separator, or "" for a bare name (or "C:" for a
// name relative to a drive).
std::wstring directory_prefix(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

[[noreturn]] void fail_with_temporary(const std::wstring& temporary, HANDLE handle,
                                      const char* message) {
  if (handle != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(handle);
  }
  (void)DeleteFileW(temporary.c_str());
  release_temporary_guard();
  fatal(message, -1);
}

// Another program (a virus scanner, a search indexer, the game, a model viewer) may hold
// the output open for a moment after it changes; those failures pass.
bool held_by_another_program(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// The full form of `path`: renaming by handle takes no relative name.
std::wstring full_path(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return path;
  }
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return path;
  }
  full.resize(length);
  return full;
}

// True when `path` names the disk file that `handle` is open on (the same volume and file
// index), whatever name either was given.
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

// Gives the temporary file (open as `temporary`) what the file it replaces has and a new
// file would not: the hidden, system and not-indexed attributes and the creation time, and
// its access list (with whether it inherits from the folder) and owner, as far as the user
// may set them. The archive bit is the system's own, set on every new file.
void keep_what_the_output_had(const std::wstring& path, HANDLE temporary,
                              const std::wstring& temporary_name) {
  const HANDLE old = CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (old == INVALID_HANDLE_VALUE) {
    return;
  }
  constexpr DWORD kept_attributes =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO had{};
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(old, FileBasicInfo, &had, sizeof had) != 0 &&
      GetFileInformationByHandleEx(temporary, FileBasicInfo, &basic, sizeof basic) != 0) {
    basic.CreationTime = had.CreationTime;
    basic.FileAttributes |= had.FileAttributes & kept_attributes;
    (void)SetFileInformationByHandle(temporary, FileBasicInfo, &basic, sizeof basic);
  }
  PSID owner = nullptr;
  PACL access_list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(old, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &access_list, nullptr, &descriptor) == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    (void)GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                                 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION;
    (void)SetSecurityInfo(temporary, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance,
                          nullptr, nullptr, access_list, nullptr);
    // Only an administrator may give a file another owner: a failure here passes, and the
    // file stays the user's own. The name is used, since the open handle may not take it.
    std::wstring name = temporary_name;
    (void)SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                                nullptr, nullptr, nullptr);
    LocalFree(descriptor);
  }
  CloseHandle(old);
}

// Renames the temporary file (open as `handle`, with delete access) over `path` in one step:
// by its handle with the newer call that replaces even a file open elsewhere with delete
// sharing, or else by name. False with the last error set on failure.
bool rename_over(HANDLE handle, const std::wstring& temporary, const std::wstring& path) {
  // The newer call's information class and flags, which older headers do not name.
  constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  constexpr DWORD replace_if_exists = 0x1;
  constexpr DWORD posix_semantics = 0x2;
  struct RenameRequest {
    DWORD flags;
    HANDLE root_directory;
    DWORD name_bytes;
    wchar_t name[1];
  };
  const std::wstring target = full_path(path);
  std::vector<std::uint8_t> request(sizeof(RenameRequest) + target.size() * sizeof(wchar_t));
  auto* const rename = reinterpret_cast<RenameRequest*>(request.data());
  rename->flags = replace_if_exists | posix_semantics;
  rename->root_directory = nullptr;
  rename->name_bytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->name);
  rename->name[target.size()] = L'\0';
  if (SetFileInformationByHandle(handle, rename_info_ex, request.data(),
                                 static_cast<DWORD>(request.size())) != 0) {
    return true;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
      error != ERROR_INVALID_FUNCTION && error != ERROR_CALL_NOT_IMPLEMENTED) {
    SetLastError(error);
    return false;
  }
  return MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Puts the temporary file in the output's place, retrying for about two seconds while
// another program holds the output.
bool replace_with_retries(HANDLE handle, const std::wstring& temporary, const std::wstring& path) {
  DWORD pause = 10;
  DWORD waited = 0;
  while (!rename_over(handle, temporary, path)) {
    if (!held_by_another_program(GetLastError()) || waited >= 2000) {
      return false;
    }
    Sleep(pause);
    waited += pause;
    pause = std::min<DWORD>(pause * 2, 250);
  }
  return true;
}

}  // namespace

void write_output_file(const OutputRequest& request) {
  const std::string& path = request.output_path;
  if (path.empty()) {
    cannot_open(ENOENT);  // as opening an empty name fails
  }
  if (path.back() == '/' || path.back() == '\\') {
    cannot_open(EISDIR);  // a name with a trailing separator can only be a directory
  }
  const std::wstring wide_path = widen(path);

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

  const std::wstring directory = directory_prefix(wide_path);
  // A dot, at most 200 bytes of the name, ".fmskins-", the process and attempt numbers:
  // within the 255 bytes or units that every file system allows.
  const std::wstring base =
      directory + L"." + name_start_within(wide_path.substr(directory.size()), 200) + L".fmskins-";
  std::wstring temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = base + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
    handle = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE && (error != ERROR_FILE_EXISTS || attempt > 1000)) {
      fatal(exists ? "Unable to create temporary output model file"
                   : "Unable to open output model file",
            error_number_of(error));
    }
  }
  guard_temporary(temporary);
  if (!write_fully(handle, request) || FlushFileBuffers(handle) == 0) {
    fail_with_temporary(temporary, handle, "Unable to write output model file");
  }
  if (exists) {
    keep_what_the_output_had(wide_path, handle, temporary);
  }
  if (model_changed_since_read(request.model, request.model_path)) {
    fail_with_temporary(temporary, handle, "Model file changed while it was being edited");
  }
  // Writers stay shut out until here; an open model cannot be renamed over everywhere.
  if (request.model.descriptor >= 0) {
    (void)_close(request.model.descriptor);
  }
  // From here the temporary file may be the only copy under any name: it is never removed
  // while the output's name holds no file.
  pending.store(Pending::replacing);
  const bool replaced = replace_with_retries(handle, temporary, wide_path);
  (void)CloseHandle(handle);
  if (!replaced) {
    const bool name_empty = GetFileAttributesW(wide_path.c_str()) == INVALID_FILE_ATTRIBUTES &&
                            GetLastError() == ERROR_FILE_NOT_FOUND;
    if (name_empty && MoveFileExW(temporary.c_str(), wide_path.c_str(), MOVEFILE_WRITE_THROUGH)) {
      release_temporary_guard();
      return;  // the name held nothing: the new model is in its place after all
    }
    pending.store(Pending::written);
    if (name_empty) {
      release_temporary_guard();
      fatal("Unable to replace output model file", -1);  // kept: it is the only copy
    }
    fail_with_temporary(temporary, INVALID_HANDLE_VALUE, "Unable to replace output model file");
  }
  release_temporary_guard();
}

}  // namespace fmskins
