// Windows: replacing a file through a temporary one. The result goes to a new file beside
// the output, marked to go when its last handle closes (the on-close state where the system
// has it) so that a run ended by any means (End task, a crash) leaves nothing behind while
// it is written, flushed to disk, given the output's attributes, creation time, access list
// and (where the user may) owner, and then renamed over the output in one step: the
// output's name holds the old file or the new one at every instant. Each handle asks only
// for the rights its calls need, so that a network share granting "Change" but not "Full
// Control" still takes an edit.

#include <windows.h>

#include <aclapi.h>
#include <io.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/fatal.h"
#include "cli/windows_text.h"
#include "files/model_file.h"
#include "files/output_windows.h"

namespace fmskins {
namespace {

// The model file, kept open to shut writers out, is closed before a rename that cannot
// replace an open file.
void close_model(Temporary& temporary) {
  if (temporary.model_descriptor >= 0) {
    (void)_close(temporary.model_descriptor);
    temporary.model_descriptor = -1;
  }
}

[[noreturn]] void fail_with_temporary(Temporary& temporary, const char* message) {
  if (temporary.handle != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(temporary.handle);  // deletes it, where it is still so marked
  }
  (void)DeleteFileW(temporary.name.c_str());
  release_temporary_guard();
  fatal(message, -1);
}

// Another program (a virus scanner, a search indexer, the game, a model viewer) may hold
// the output open for a moment after it changes; those failures pass.
bool held_by_another_program(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// True when another program has `path` open without letting it be deleted or renamed over.
bool held_open_elsewhere(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(file);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// The directory part of `path`, with its separator, or "" for a bare name (or "C:" for a
// name relative to a drive).
std::wstring directory_prefix(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

// Only an administrator's token holds the privilege to give a file another user's owner,
// and it must be switched on first. False where the token does not hold it.
bool enable_restore_privilege() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == 0) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  const bool enabled =
      LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) != 0 &&
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != 0 &&
      GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
  (void)CloseHandle(token);
  return enabled;
}

}  // namespace

namespace {

// The newer disposition call's information class and flags, which older headers do not
// name. The on-close flag with the delete flag sets the on-close state; alone, clears it.
constexpr auto disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD disposition_delete = 0x1;
constexpr DWORD disposition_on_close = 0x8;

bool set_disposition(HANDLE handle, DWORD flags) {
  return SetFileInformationByHandle(handle, disposition_info_ex, &flags, sizeof flags) != 0;
}

bool set_delete_pending(HANDLE handle, bool deleted) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

}  // namespace

DeletionMark mark_for_deletion(HANDLE handle) {
  if (set_disposition(handle, disposition_delete | disposition_on_close)) {
    return DeletionMark::on_close;
  }
  return set_delete_pending(handle, true) ? DeletionMark::pending : DeletionMark::none;
}

bool clear_deletion_mark(HANDLE handle, DeletionMark mark) {
  switch (mark) {
    case DeletionMark::on_close:
      return set_disposition(handle, disposition_on_close);
    case DeletionMark::pending:
      return set_delete_pending(handle, false);
    case DeletionMark::none:
      break;
  }
  return true;
}

// Creates the temporary file beside `path`, asking for the rights to write it, to read and
// set its attributes, to rename it, and to set its access list and owner; where the folder
// grants no right to set the access list (a share with "Change" only), without that.
Temporary create_temporary(const std::wstring& path, bool exists) {
  const std::wstring directory = directory_prefix(path);
  // A dot, at most 200 bytes of the name, ".fmskins-", the process and attempt numbers:
  // within the 255 bytes or units that every file system allows.
  const std::wstring base =
      directory + L"." + name_start_within(path.substr(directory.size()), 200) + L".fmskins-";
  const bool owner_privilege = exists && enable_restore_privilege();
  constexpr DWORD needed = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL;
  Temporary temporary;
  temporary.may_set_access = exists;
  temporary.may_set_owner = owner_privilege;
  unsigned attempt = 0;
  while (temporary.handle == INVALID_HANDLE_VALUE) {
    temporary.name =
        base + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
    const DWORD rights = needed | (temporary.may_set_access ? WRITE_DAC : 0U) |
                         (temporary.may_set_owner ? WRITE_OWNER : 0U);
    temporary.handle =
        CreateFileW(temporary.name.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temporary.handle != INVALID_HANDLE_VALUE) {
      break;
    }
    const DWORD error = GetLastError();
    // The same name again, asking for less: first without the right to set the owner, and
    // only if that is refused too without the right to set the access list.
    if (error == ERROR_ACCESS_DENIED && temporary.may_set_owner) {
      temporary.may_set_owner = false;
      continue;
    }
    if (error == ERROR_ACCESS_DENIED && temporary.may_set_access) {
      temporary.may_set_access = false;
      continue;
    }
    if (error != ERROR_FILE_EXISTS || attempt > 1000) {
      fatal(exists ? "Unable to create temporary output model file"
                   : "Unable to open output model file",
            error_number_of(error));
    }
    ++attempt;
  }
  return temporary;
}

namespace {

// True when every entry of the access list came from the folder, and the list is not
// protected from it: a new file in the same folder gets the same list.
bool access_all_inherited(PACL access_list, SECURITY_DESCRIPTOR_CONTROL control) {
  if ((control & SE_DACL_PROTECTED) != 0 || access_list == nullptr) {
    return false;
  }
  ACL_SIZE_INFORMATION size{};
  if (GetAclInformation(access_list, &size, sizeof size, AclSizeInformation) == 0) {
    return false;
  }
  for (DWORD index = 0; index < size.AceCount; ++index) {
    void* entry = nullptr;
    if (GetAce(access_list, index, &entry) == 0 ||
        (static_cast<ACE_HEADER*>(entry)->AceFlags & INHERITED_ACE) == 0) {
      return false;
    }
  }
  return true;
}

// True when the volume of `handle` keeps access lists (NTFS, ReFS, most shares), as FAT32
// and exFAT do not.
bool keeps_access_lists(HANDLE handle) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) !=
             0 &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

// Gives the temporary file what the file it replaces has and a new file would not: the
// hidden, system and not-indexed attributes and the creation time, its access list (with
// whether it inherits from the folder) and, for an administrator, its owner. The archive
// bit is the system's own, set on every new file. An access list that cannot be copied
// fails the run unless the new file inherits the same one: access never widens.
void keep_what_the_output_had(const std::wstring& path, Temporary& temporary) {
  // Where the volume keeps access lists, an old file whose list cannot be read fails the
  // run: the new file would silently get the folder's, which may grant more.
  const HANDLE old = CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (old == INVALID_HANDLE_VALUE) {
    if (keeps_access_lists(temporary.handle)) {
      fail_with_temporary(temporary, "Unable to keep the access control list of output model file");
    }
    return;
  }
  constexpr DWORD kept_attributes =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO had{};
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(old, FileBasicInfo, &had, sizeof had) != 0 &&
      GetFileInformationByHandleEx(temporary.handle, FileBasicInfo, &basic, sizeof basic) != 0) {
    basic.CreationTime = had.CreationTime;
    basic.FileAttributes |= had.FileAttributes & kept_attributes;
    (void)SetFileInformationByHandle(temporary.handle, FileBasicInfo, &basic, sizeof basic);
  }
  PSID owner = nullptr;
  PACL access_list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool read =
      GetSecurityInfo(old, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &access_list, nullptr, &descriptor) == ERROR_SUCCESS;
  (void)CloseHandle(old);
  if (!read) {
    if (keeps_access_lists(temporary.handle)) {
      fail_with_temporary(temporary, "Unable to keep the access control list of output model file");
    }
    return;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  (void)GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                               ? PROTECTED_DACL_SECURITY_INFORMATION
                                               : UNPROTECTED_DACL_SECURITY_INFORMATION;
  const bool access_kept =
      (temporary.may_set_access &&
       SetSecurityInfo(temporary.handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance,
                       nullptr, nullptr, access_list, nullptr) == ERROR_SUCCESS) ||
      access_all_inherited(access_list, control);
  // Without the privilege no one may give a file another owner: the file stays the user's.
  if (temporary.may_set_owner) {
    (void)SetSecurityInfo(temporary.handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                          nullptr, nullptr, nullptr);
  }
  LocalFree(descriptor);
  if (!access_kept) {
    fail_with_temporary(temporary, "Unable to keep the access control list of output model file");
  }
}

bool rename_by_handle(HANDLE handle, const std::wstring& path) {
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
  // Renaming by handle takes no relative name.
  const std::wstring full = full_path(path);
  const std::wstring& target = full.empty() ? path : full;
  std::vector<std::uint8_t> request(sizeof(RenameRequest) + target.size() * sizeof(wchar_t));
  auto* const rename = reinterpret_cast<RenameRequest*>(request.data());
  rename->flags = replace_if_exists | posix_semantics;
  rename->root_directory = nullptr;
  rename->name_bytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->name);
  rename->name[target.size()] = L'\0';
  return SetFileInformationByHandle(handle, rename_info_ex, request.data(),
                                    static_cast<DWORD>(request.size())) != 0;
}

bool rename_over(Temporary& temporary, const std::wstring& path) {
  if (rename_by_handle(temporary.handle, path)) {
    return true;
  }
  if (held_by_another_program(GetLastError())) {
    return false;
  }
  close_model(temporary);
  return MoveFileExW(temporary.name.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

// Puts the temporary file in the output's place, retrying for about two seconds while
// another program holds the output.
bool replace_with_retries(Temporary& temporary, const std::wstring& path) {
  DWORD pause = 10;
  DWORD waited = 0;
  while (!rename_over(temporary, path)) {
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

void replace_through_temporary(const std::wstring& path, const OutputRequest& request,
                               bool exists) {
  Temporary temporary = create_temporary(path, exists);
  temporary.model_descriptor = request.model.descriptor;
  guard_temporary(temporary.name);
  // Until the rename, a run that ends by any means leaves no temporary file behind.
  const DeletionMark mark = mark_for_deletion(temporary.handle);
  if (!write_fully(temporary.handle, request) || FlushFileBuffers(temporary.handle) == 0) {
    fail_with_temporary(temporary, "Unable to write output model file");
  }
  if (exists) {
    keep_what_the_output_had(path, temporary);
  }
  if (model_changed_since_read(request.model, request.model_path)) {
    fail_with_temporary(temporary, "Model file changed while it was being edited");
  }
  if (!clear_deletion_mark(temporary.handle, mark)) {
    fail_with_temporary(temporary, "Unable to write output model file");
  }
  // From here the temporary file may be the only copy under any name: it is never removed
  // while the output's name holds no file.
  replacing_temporary();
  const bool replaced = replace_with_retries(temporary, path);
  (void)CloseHandle(temporary.handle);
  temporary.handle = INVALID_HANDLE_VALUE;
  close_model(temporary);
  if (replaced) {
    temporary_replaced();
    return;
  }
  const bool name_empty = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
                          GetLastError() == ERROR_FILE_NOT_FOUND;
  if (name_empty) {
    if (MoveFileExW(temporary.name.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
      temporary_replaced();
      return;  // the name held nothing: the new model is in its place after all
    }
    release_temporary_guard();
    fatal("Unable to replace output model file", -1);  // kept: it is the only copy
  }
  temporary_may_go();
  fail_with_temporary(temporary, held_open_elsewhere(path)
                                     ? "Unable to replace output model file\n"
                                       "Another program has the file open (the game, a viewer "
                                       "or a backup tool): close it and run the tool again."
                                     : "Unable to replace output model file");
}

}  // namespace fmskins
