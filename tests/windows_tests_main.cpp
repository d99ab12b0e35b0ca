// The Windows test zip's runner: runs the tests in the folder it is given (or else its own),
// so that the volume under test is that folder's, and writes what it found, with the system
// and the volume it ran on, to fmskins-test-results.txt in that folder, to be sent back.

#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

std::vector<std::string> skipped_cases;  // of the running test

std::string utf8(const std::wstring& text) {
  const std::u8string bytes = std::filesystem::path(text).u8string();
  return {bytes.begin(), bytes.end()};
}

std::string system_version() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto get = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (get == nullptr || get(&version) != 0) {
    return "unknown";
  }
  return std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
         "." + std::to_string(version.dwBuildNumber);
}

std::string wine_version() {
  using WineVersion = const char*(__cdecl*)();
  const auto get = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  return get == nullptr ? "no" : std::string("yes, wine ") + get();
}

std::string volume_description(const std::wstring& folder) {
  wchar_t root[MAX_PATH + 1] = {};
  wchar_t file_system[MAX_PATH + 1] = {};
  if (GetVolumePathNameW(folder.c_str(), root, MAX_PATH) == 0 ||
      GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, file_system, MAX_PATH) ==
          0) {
    return "unknown (Windows error " + std::to_string(GetLastError()) + ")";
  }
  const UINT kind = GetDriveTypeW(root);
  const char* const kinds = kind == DRIVE_REMOTE      ? "a network share"
                            : kind == DRIVE_REMOVABLE ? "a removable disk"
                            : kind == DRIVE_FIXED     ? "a fixed disk"
                                                      : "another kind of drive";
  return utf8(file_system) + ", on " + kinds + " (" + utf8(root) + ")";
}

std::string long_paths_enabled() {
  DWORD value = 0;
  DWORD size = sizeof value;
  const bool found =
      RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                   L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
  return found && value != 0 ? "yes" : "no";
}

std::string elevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool is =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0 &&
      elevation.TokenIsElevated != 0;
  if (token != nullptr) {
    CloseHandle(token);
  }
  return is ? "yes" : "no";
}

// Writes each test's result as it ends, and the counts at the end, to the results file.
class ResultsFile : public testing::EmptyTestEventListener {
 public:
  ResultsFile(const std::filesystem::path& path, const std::vector<std::string>& heading)
      : file_(path, std::ios::binary | std::ios::trunc) {
    for (const std::string& line : heading) {
      write(line);
    }
    write("");
  }

 private:
  void write(const std::string& text) {
    // Notepad and type take CRLF line ends; a message of several lines is indented.
    std::string line;
    for (const char character : text) {
      if (character == '\n') {
        file_ << line << "\r\n";
        line = "      ";
      } else if (character != '\r') {
        line += character;
      }
    }
    file_ << line << "\r\n";
    file_.flush();
  }
  void OnTestStart(const testing::TestInfo& /*test*/) override { skipped_cases.clear(); }
  void OnTestEnd(const testing::TestInfo& test) override {
    const testing::TestResult& result = *test.result();
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    const bool skipped = result.Skipped();
    const bool failed = result.Failed();
    write((failed ? "FAILED  " : skipped ? "skipped " : "passed  ") + name);
    for (int index = 0; index < result.total_part_count(); ++index) {
      const testing::TestPartResult& part = result.GetTestPartResult(index);
      if (part.failed() || part.skipped()) {
        write("      " + std::string(part.message()));
      }
    }
    for (const std::string& reason : skipped_cases) {
      write("      one case skipped: " + reason);
    }
    for (int index = 0; index < result.test_property_count(); ++index) {
      const testing::TestProperty& property = result.GetTestProperty(index);
      write("      " + std::string(property.key()) + ": " + property.value());
    }
    (failed ? failed_ : skipped ? skipped_ : passed_) += 1;
  }
  void OnTestProgramEnd(const testing::UnitTest& /*unit*/) override {
    write("");
    write(std::to_string(passed_) + " passed, " + std::to_string(failed_) + " failed, " +
          std::to_string(skipped_) + " skipped");
  }

  std::ofstream file_;
  int passed_ = 0;
  int failed_ = 0;
  int skipped_ = 0;
};

}  // namespace

void note_skipped_case(const std::string& reason) { skipped_cases.push_back(reason); }

}  // namespace fmskins::test

int main(int argc, char** argv) {
  using namespace fmskins::test;
  testing::InitGoogleTest(&argc, argv);
  int count = 0;
  wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring folder;
  bool death_test_child = false;
  for (int index = 1; index < count; ++index) {
    const std::wstring argument = arguments[index];
    if (argument.starts_with(L"--gtest_internal_run_death_test")) {
      death_test_child = true;
    } else if (!argument.starts_with(L"--") && folder.empty()) {
      folder = argument;
    }
  }
  LocalFree(arguments);
  if (death_test_child) {
    return RUN_ALL_TESTS();  // in the folder its parent named, with no results of its own
  }
  if (folder.empty()) {
    std::wstring runner(32768, L'\0');
    runner.resize(GetModuleFileNameW(nullptr, runner.data(), static_cast<DWORD>(runner.size())));
    folder = std::filesystem::path(runner).parent_path().wstring();
  }
  std::error_code error;
  // A full name without "." or ".." in it (run-tests.cmd gives "<its folder>\."), which the
  // tests' long names take as their start.
  std::filesystem::path checked = std::filesystem::absolute(folder, error).lexically_normal();
  if (!checked.has_filename() && checked.has_relative_path()) {
    checked = checked.parent_path();
  }
  if (error || !std::filesystem::is_directory(checked, error)) {
    std::fprintf(stderr, "fmskins-tests: no folder %s to run the tests in\n", utf8(folder).c_str());
    return 2;
  }
  (void)_wputenv_s(L"FMSKINS_TEST_SCRATCH", checked.c_str());
  const std::vector<std::string> heading = {
      "fmskins " FMSKINS_VERSION " tests for Windows",
      "System: Windows " + system_version(),
      "Under wine: " + wine_version(),
      "Folder checked: " + utf8(checked.wstring()),
      "File system: " + volume_description(checked.wstring()),
      "Long paths enabled: " + long_paths_enabled(),
      "Run as administrator: " + elevated(),
  };
  for (const std::string& line : heading) {
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  const std::filesystem::path results = checked / "fmskins-test-results.txt";
  testing::UnitTest::GetInstance()->listeners().Append(new ResultsFile(results, heading));
  const int status = RUN_ALL_TESTS();
  std::printf("\nThe results are in %s: send that file back.\n", utf8(results.wstring()).c_str());
  return status;
}
