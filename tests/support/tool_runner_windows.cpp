// Windows: the tool is started with CreateProcess under the name "fmskins", its standard
// output read through a pipe, on a console of its own without a window (so that CON names
// a console, as for a user). Shell setups and launchers are POSIX things; the tests that
// need them skip themselves here.

#include <windows.h>
#include <atomic>
#include <map>
#include <stdexcept>
#include <string>

#include "support/tool_runner.h"

#if !defined(FMSKINS_TESTS_BESIDE_RUNNER) &&                       \
    (!defined(FMSKINS_TOOL_PATH) || !defined(FMSKINS_LIST_PATH) || \
     !defined(FMSKINS_HOLD_FILE_PATH))
#error \
    "FMSKINS_TOOL_PATH, FMSKINS_LIST_PATH and FMSKINS_HOLD_FILE_PATH must name the built programs"
#endif

namespace fmskins::test {
namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> scratch_count{0};

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    return argument;
  }
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (const char character : argument) {
    if (character == '\\') {
      ++backslashes;
      continue;
    }
    text.append(character == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text += character;
  }
  text.append(2 * backslashes, '\\');
  return text + "\"";
}

HANDLE inheritable(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

// The folder scratch directories are made in: the one FMSKINS_TEST_SCRATCH names (the
// test zip's runner names the folder it checks), or the system's temporary folder.
fs::path scratch_root() {
  const wchar_t* const named = _wgetenv(L"FMSKINS_TEST_SCRATCH");
  return named != nullptr && *named != L'\0' ? fs::path(named) : fs::temp_directory_path();
}

#if defined(FMSKINS_TESTS_BESIDE_RUNNER)
// The test zip's programs and files are beside its runner, wherever it was unpacked.
fs::path beside_runner(const std::string& name) {
  std::wstring runner(32768, L'\0');
  runner.resize(GetModuleFileNameW(nullptr, runner.data(), static_cast<DWORD>(runner.size())));
  return fs::path(runner).parent_path() / utf8_path(name);
}
#endif

}  // namespace

std::string program_path(const std::string& name) {
#if defined(FMSKINS_TESTS_BESIDE_RUNNER)
  const std::u8string beside = beside_runner(name + ".exe").u8string();
  return {beside.begin(), beside.end()};
#else
  const std::map<std::string, std::string> built = {{"fmskins", FMSKINS_TOOL_PATH},
                                                    {"fmskins-list", FMSKINS_LIST_PATH},
                                                    {"hold_file", FMSKINS_HOLD_FILE_PATH}};
  if (const auto found = built.find(name); found != built.end()) {
    return found->second;
  }
  throw std::logic_error("no built program is named " + name);
#endif
}

fs::path source_file(const std::string& relative, const std::string& in_zip) {
#if defined(FMSKINS_TESTS_BESIDE_RUNNER)
  (void)relative;
  return beside_runner(in_zip);
#else
  (void)in_zip;
  return fs::path(FMSKINS_SOURCE_DIR) / utf8_path(relative);
#endif
}

ScratchDir::ScratchDir() {
  for (;;) {
    path = scratch_root() / ("fmskins-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(scratch_count++));
    if (fs::create_directory(path)) {
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  // A process that has just ended (the tool, a console it was given) may still hold a file
  // here for a moment: the removal is tried again for up to five seconds.
  std::error_code error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::remove_all(path, error);
    if (!error && !fs::exists(path, error)) {
      return;
    }
    Sleep(50);
  }
}

ToolRun run_tool(const fs::path& work_dir, const std::vector<std::string>& arguments,
                 const std::string& shell_setup, const std::string& launcher) {
  if (!shell_setup.empty() || !launcher.empty()) {
    throw std::logic_error("shell setups and launchers need a POSIX system");
  }
  const ScratchDir capture;
  const fs::path errors_path = capture.path / "stderr";

  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output_read = nullptr;
  HANDLE output_write = nullptr;
  if (CreatePipe(&output_read, &output_write, &security, 0) == 0) {
    throw std::runtime_error("CreatePipe failed");
  }
  SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE errors = CreateFileW(errors_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &security,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

  // The arguments are UTF-8 text, as the tool takes them in; they go out as UTF-16.
  std::string command_line = "fmskins";
  for (const std::string& argument : arguments) {
    command_line += ' ';  // (appended apart: GCC 12 misreads " " + string as overlapping)
    command_line += quoted(argument);
  }
  std::wstring wide_command_line = utf8_path(command_line).wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(input);
  startup.hStdOutput = inheritable(output_write);
  startup.hStdError = inheritable(errors);
  PROCESS_INFORMATION process{};
  const std::string tool_name = program_path("fmskins");
  const std::wstring tool = utf8_path(tool_name).wstring();
  // Under wine a start now and then fails for no reason of the test's: tried three times.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 3 && started == 0; ++attempt) {
    if (attempt > 0) {
      Sleep(200);
    }
    started =
        CreateProcessW(tool.c_str(), wide_command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, nullptr, work_dir.wstring().c_str(), &startup, &process);
  }
  CloseHandle(output_write);
  CloseHandle(errors);
  CloseHandle(input);
  if (started == 0) {
    CloseHandle(output_read);
    throw std::runtime_error("CreateProcess failed for " + tool_name);
  }

  ToolRun run;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(output_read, block, sizeof block, &got, nullptr) != 0 && got > 0) {
    run.output.append(block, got);
  }
  CloseHandle(output_read);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  run.status = static_cast<int>(code);
  run.errors = read_file(errors_path);
  return run;
}

}  // namespace fmskins::test
