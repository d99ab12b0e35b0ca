// Windows will not replace a file that another handle holds open, so the lock is a hidden
// file beside the output, opened exclusively and deleted by the system when the run ends,
// however it ends.

#include <windows.h>

#include "cli/windows_text.h"
#include "files/model_lock_system.h"

namespace fmskins {
namespace {

// True when `path` names an existing file on a disk: not a device, not a directory.
bool is_disk_file(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  const HANDLE file =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return true;  // held by another program without sharing: a file all the same
  }
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return disk;
}

}  // namespace

LockOutcome try_lock_output(const std::string& output_path, std::intptr_t& handle) {
  const std::wstring path = system_path(output_path);
  if (!is_disk_file(path)) {
    return LockOutcome::nothing_to_lock;
  }
  const std::size_t separator = path.find_last_of(L"\\/:");
  const std::size_t name_start = separator == std::wstring::npos ? 0 : separator + 1;
  const std::wstring lock_path = path.substr(0, name_start) + L"." +
                                 name_start_within(path.substr(name_start), 200) + L".fmskins-lock";
  const HANDLE lock =
      CreateFileW(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (lock != INVALID_HANDLE_VALUE) {
    handle = reinterpret_cast<std::intptr_t>(lock);
    return LockOutcome::locked;
  }
  const DWORD error = GetLastError();
  // Held by another run, or deleted by it a moment ago and not yet gone.
  if (error == ERROR_SHARING_VIOLATION ||
      (error == ERROR_ACCESS_DENIED &&
       GetFileAttributesW(lock_path.c_str()) != INVALID_FILE_ATTRIBUTES)) {
    return LockOutcome::busy;
  }
  return LockOutcome::unlockable;
}

void close_lock(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

}  // namespace fmskins
