// The writer's own steps, one at a time, on the volume the tests run on: the rights each
// handle is opened with, the mark that removes the temporary if the run is ended, the
// rename by handle and its fallback, the access list and the owner, and the console
// handler against the rename. The Windows test zip runs them from the folder being checked
// (an NTFS disk, a FAT32 or exFAT stick, a network share); each says which route that
// volume took. Where only a real Windows can answer, the test says so under wine.

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "files/model_file_system.h"
#include "files/output_windows.h"
#include "support/model_builder.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

bool under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A death test's child runs its test again from the start, in a process of its own: it
// works in the parent's scratch folder, which the parent names in the environment.
struct SharedScratch {
  SharedScratch() {
    const wchar_t* const given = _wgetenv(L"FMSKINS_DEATH_TEST_FOLDER");
    if (given != nullptr && *given != L'\0') {
      path = given;
      return;
    }
    owned = std::make_unique<ScratchDir>();
    path = owned->path;
    (void)_wputenv_s(L"FMSKINS_DEATH_TEST_FOLDER", path.c_str());
  }
  ~SharedScratch() {
    if (owned) {
      (void)_wputenv_s(L"FMSKINS_DEATH_TEST_FOLDER", L"");
    }
  }
  SharedScratch(const SharedScratch&) = delete;
  SharedScratch& operator=(const SharedScratch&) = delete;
  std::unique_ptr<ScratchDir> owned;
  std::filesystem::path path;
};

// Ends a step-by-step child with the failing step named, as the test prints it.
[[noreturn]] void step_failed(const char* step) {
  std::fprintf(stderr, "step failed: %s (Windows error %lu)\n", step, GetLastError());
  std::fflush(stderr);
  std::_Exit(1);
}

// The exit status of a step-by-step child that got to its end: which deletion mark the
// volume took and whether the rename went by handle.
int route_status(DeletionMark mark, bool by_handle) {
  return 10 + 2 * static_cast<int>(mark) + (by_handle ? 0 : 1);
}

std::string route_text(int status) {
  const int route = status - 10;
  static const char* const marks[] = {"the on-close state", "the older pending mark", "none"};
  return std::string("deletion mark: ") + marks[(route / 2) % 3] +
         "; rename: " + (route % 2 == 0 ? "by handle, over the open model" : "by name");
}

// The tool's first steps on a temporary beside `path`: created with the tool's rights,
// marked to go on close, written and flushed. A refused step ends the process, named.
Temporary written_temporary(const std::wstring& path, const std::string& bytes,
                            DeletionMark& mark) {
  Temporary temporary = create_temporary(path, true);
  mark = mark_for_deletion(temporary.handle);
  DWORD written = 0;
  if (WriteFile(temporary.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                nullptr) == 0 ||
      written != bytes.size()) {
    step_failed("write the temporary file");
  }
  if (FlushFileBuffers(temporary.handle) == 0) {
    step_failed("flush the temporary file");
  }
  return temporary;
}

// What the tool does to replace `path` (the model, open as the tool opens it, as long as
// the rename allows), step by step; ends the process with route_status().
[[noreturn]] void replace_step_by_step(const std::filesystem::path& path,
                                       const std::string& bytes) {
  const std::wstring wide = path.wstring();
  const std::u8string narrow = path.u8string();
  const int model = open_model(std::string(narrow.begin(), narrow.end()), true);
  if (model < 0) {
    step_failed("open the model as the tool does");
  }
  DeletionMark mark = DeletionMark::none;
  Temporary temporary = written_temporary(wide, bytes, mark);
  temporary.model_descriptor = model;
  keep_what_the_output_had(wide, temporary);
  if (!clear_deletion_mark(temporary.handle, mark)) {
    step_failed("take the deletion mark back");
  }
  const bool by_handle = rename_by_handle(temporary.handle, wide);
  if (!by_handle && !rename_over(temporary, wide)) {
    step_failed("rename the temporary file over the model, by handle or by name");
  }
  (void)CloseHandle(temporary.handle);
  if (temporary.model_descriptor >= 0) {
    (void)_close(temporary.model_descriptor);
  }
  std::_Exit(route_status(mark, by_handle));
}

// Every call the tool makes on its handles, on this volume: the model's name holds the new
// bytes once every handle is closed, and nothing else is left.
TEST(WindowsVolumeDeathTest, ReplaceStepByStepLeavesTheNewModel) {
  const SharedScratch dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  int status = -1;
  EXPECT_EXIT(
      replace_step_by_step(dir.path / "m.fm", sample_model({"new"})),
      [&status](int code) {
        status = code;
        return code >= 10 && code < 16;
      },
      "");
  testing::Test::RecordProperty("route", route_text(status));
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"new"})}}));
}

// A temporary file marked, written and closed without the mark taken back goes, by
// whichever mark the volume took; under the on-close state it stays open to other opens
// meanwhile, as a file pending deletion does not.
TEST(WindowsVolume, MarkedTemporaryGoesWhenItsHandleCloses) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  DeletionMark mark = DeletionMark::none;
  const Temporary temporary = written_temporary((dir.path / "m.fm").wstring(), "bytes", mark);
  ASSERT_NE(mark, DeletionMark::none) << "neither deletion mark was taken";
  if (under_wine()) {
    note_skipped_case(
        "only a real Windows can answer whether the on-close state is kept as such: "
        "wine takes it as the older pending mark");
  } else if (mark == DeletionMark::on_close) {
    const HANDLE again = CreateFileW(temporary.name.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "Windows error " << GetLastError();
    (void)CloseHandle(again);
  }
  (void)CloseHandle(temporary.handle);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
}

// The security descriptor's access list or owner as text, "" where it cannot be read.
std::string security_text(const std::filesystem::path& path, SECURITY_INFORMATION which) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, which, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return "";
  }
  LPWSTR text = nullptr;
  std::wstring found;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, which,
                                                           &text, nullptr) != 0) {
    found = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return std::string(found.begin(), found.end());  // SDDL is ASCII
}

// Sets the parts `which` of the file's security descriptor from SDDL text; false where the
// system refuses (an owner other than the user's, without the restore privilege).
bool set_security(const std::filesystem::path& path, const wchar_t* text,
                  SECURITY_INFORMATION which) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                           nullptr) == 0) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL list = nullptr;
  PSID owner = nullptr;
  (void)GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
  (void)GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  std::wstring name = path.wstring();
  const bool set = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, which, owner, nullptr, list,
                                         nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return set;
}

// A model with an access list of its own (protected from the folder's: the owner and
// SYSTEM alone, as a "Change" share's user may set it) and, run as an administrator, the
// owner SYSTEM, which only the restore privilege lets the tool give the new file. The edit
// keeps both exactly, or fails with the model untouched: access never widens. On a share
// this is what only a real server answers.
TEST(WindowsVolume, AccessListAndOwnerAreKeptOrTheEditFails) {
  const ScratchDir dir;
  wchar_t root[MAX_PATH + 1] = {};
  DWORD flags = 0;
  if (GetVolumePathNameW(dir.path.c_str(), root, MAX_PATH) == 0 ||
      GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) == 0 ||
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    GTEST_SKIP() << "this volume keeps no access lists or owners (FAT32, exFAT)";
  }
  const std::filesystem::path model = dir.path / "m.fm";
  write_file(model, sample_model({"old"}));
  ASSERT_TRUE(set_security(model, L"D:P(A;;FA;;;OW)(A;;FA;;;SY)",
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION))
      << "the test could not set the list";
  const bool owner_set = !under_wine() && set_security(model, L"O:SY", OWNER_SECURITY_INFORMATION);
  if (under_wine()) {
    note_skipped_case(
        "only a real Windows can answer whether the owner is kept: wine grants "
        "every privilege and keeps owners in its own way");
  } else if (!owner_set) {
    note_skipped_case(
        "the owner: not run as an administrator; open the console with \"Run as "
        "administrator\" to answer this");
  }
  const std::string before = security_text(model, DACL_SECURITY_INFORMATION);
  const ToolRun run = run_tool(dir.path, {"m.fm", "new"});
  if (run.status == 0) {
    EXPECT_EQ(security_text(model, DACL_SECURITY_INFORMATION), before);
    if (owner_set) {
      EXPECT_EQ(security_text(model, OWNER_SECURITY_INFORMATION), "O:SY");
    }
    EXPECT_EQ(read_file(model), sample_model({"new"}));
  } else {
    testing::Test::RecordProperty("route", "the edit was refused: " + run.output);
    EXPECT_NE(run.output.find("Unable to keep the access control list of output model file"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(read_file(model), sample_model({"old"}));
  }
  EXPECT_EQ(snapshot(dir.path).size(), 1U);
}

// The console handler and the rename, forced into each order: one of them claims the
// temporary, never both. A Ctrl-C while the rename is being made waits for it and lets the
// run finish (status 0, the new model); one before it ends the run with the interrupt's
// status, the old model kept and no temporary left.
[[noreturn]] void interrupt_around_the_rename(const std::filesystem::path& path, bool during) {
  const std::wstring wide = path.wstring();
  DeletionMark mark = DeletionMark::none;
  Temporary temporary = written_temporary(wide, sample_model({"new"}), mark);
  guard_temporary(temporary.name);
  (void)clear_deletion_mark(temporary.handle, mark);
  if (!during) {
    std::thread([] { (void)end_run_on_interrupt(CTRL_C_EVENT); }).join();  // never returns
  }
  replacing_temporary();
  std::thread handler([] { (void)end_run_on_interrupt(CTRL_C_EVENT); });
  Sleep(200);  // the handler is now waiting on the rename
  const bool renamed = rename_over(temporary, wide);
  (void)CloseHandle(temporary.handle);
  temporary_replaced();
  handler.join();
  std::_Exit(renamed ? 0 : 1);
}

TEST(WindowsVolumeDeathTest, InterruptAndRenameNeverBothClaimTheTemporary) {
  const SharedScratch dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  EXPECT_EXIT(interrupt_around_the_rename(dir.path / "m.fm", true), testing::ExitedWithCode(0), "");
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"new"})}}));

  write_file(dir.path / "m.fm", sample_model({"old"}));
  EXPECT_EXIT(
      interrupt_around_the_rename(dir.path / "m.fm", false),
      [](int code) { return static_cast<unsigned>(code) == 0xC000013AU; }, "");
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
}

}  // namespace
}  // namespace fmskins::test
