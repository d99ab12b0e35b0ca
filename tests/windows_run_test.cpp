// The built tool on what only Windows has: Unicode names beside an 8-bit code page, files
// held open by other programs, and the console devices.

#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

const std::string device_name_line =
    "On Windows, CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 are devices, whatever follows "
    "them after a dot: give the file another name.\n";

// Names outside the ANSI code page (1252 under the test's locale): Cyrillic and CJK.
const std::string model_name = "\xd0\x9a\xd0\xbe\xd1\x82-\xe9\xac\xbc.fm";  // Кот-鬼.fm
const std::string output_name =
    "\xd0\xb2\xd1\x8b\xd1\x85\xd0\xbe\xd0\xb4-\xe5\x87\xba.fm";  // выход-出.fm

TEST(WindowsRun, UnicodeNamesWorkForModelAndOutput) {
  const ScratchDir dir;
  write_file(dir.path / utf8_path(model_name), sample_model({"old"}));
  ToolRun run = run_tool(dir.path, {"/L", model_name});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("    old\n"), std::string::npos) << run.output;

  run = run_tool(dir.path, {model_name, "in place"});
  EXPECT_EQ(run.status, 0) << run.output;
  run = run_tool(dir.path, {"/O", output_name, model_name, "elsewhere"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(snapshot(dir.path), (Files{{model_name, sample_model({"in place"})},
                                       {output_name, sample_model({"elsewhere"})}}));
}

TEST(WindowsRun, SkinPathOutsideTheCodePageIsRefused) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  // Neither 鬼 nor Ω has a place in code page 1252; the report, in that code page, shows each
  // as "?", never as a look-alike (Ω as O) that could be stored.
  const std::pair<std::string, std::string> rows[] = {{"\xe9\xac\xbc.m8", "?.m8"},
                                                      {"\xce\xa9mega.m8", "?mega.m8"}};
  for (const auto& [name, shown] : rows) {
    const ToolRun run = run_tool(dir.path, {"/O", "out.fm", "m.fm", "ok.m8", name});
    EXPECT_TRUE(run.output.ends_with(
        fatal_line("Skin path cannot be stored in the system's code page: " + shown)))
        << run.output;
    EXPECT_EQ(run.status, failure_status);
  }
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
}

// `path` in the form the system takes past 260 characters whatever its long-paths setting,
// for the test's own calls on a file the tool reaches by a long name.
std::filesystem::path long_form(std::filesystem::path path) {
  const std::wstring text = path.make_preferred().wstring();
  return text.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + text.substr(2) : L"\\\\?\\" + text;
}

// Names of any length and script: the temporary file's name is cut at a whole character
// and within 255 bytes of UTF-8 (an emoji across the cut; 120 Cyrillic letters).
TEST(WindowsRun, LongUnicodeNamesAreEditedInPlace) {
  const ScratchDir dir;
  std::string cyrillic;
  for (int letter = 0; letter < 120; ++letter) {
    cyrillic += "\xd0\x96";  // Ж
  }
  // The last is a path of over 260 characters, which a system without long paths enabled
  // takes only as a \\?\ name.
  for (const std::string& name : {std::string(199, 'a') + "\xf0\x9f\x98\x80.fm", cyrillic + ".fm",
                                  std::string(150, 'd') + "/" + std::string(150, 'e') + ".fm"}) {
    const std::filesystem::path model = long_form(dir.path / utf8_path(name));
    std::filesystem::create_directories((dir.path / utf8_path(name)).parent_path());
    write_file(model, sample_model({"old"}));
    const ToolRun run = run_tool(dir.path, {name, "new"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(read_file(model), sample_model({"new"}));
    std::filesystem::remove(model);
  }
}

// Starts `program` with the command line `command`, standard output and error on the
// inheritable `output`, standard input the NUL device (a key press at once for `pause`), in
// `directory` (null: this process's own).
PROCESS_INFORMATION start_process(const char* program, std::wstring command, HANDLE output,
                                  const wchar_t* directory) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &security, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  EXPECT_NE(CreateProcessW(utf8_path(program).wstring().c_str(), command.data(), nullptr, nullptr,
                           TRUE, CREATE_NO_WINDOW, nullptr, directory, &startup, &process),
            0);
  CloseHandle(input);
  return process;
}

// Holds `path` open from another process for `milliseconds`; returns once it is held.
HANDLE hold(const std::filesystem::path& path, int milliseconds, const wchar_t* how = L"") {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  EXPECT_NE(CreatePipe(&read_end, &write_end, &security, 0), 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  const PROCESS_INFORMATION process = start_process(
      program_path("hold_file").c_str(),
      L"hold_file \"" + path.wstring() + L"\" " + std::to_wstring(milliseconds) + L" " + how,
      write_end, nullptr);
  CloseHandle(write_end);
  char said[8] = {};
  DWORD got = 0;
  ReadFile(read_end, said, 4, &got, nullptr);
  EXPECT_EQ(std::string(said, got), "held");
  CloseHandle(read_end);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Runs `program` with `command` in `directory`, standard output and error on a new file
// `log`, and returns its exit status once it has ended.
DWORD run_logged(const char* program, const std::wstring& command,
                 const std::filesystem::path& directory, const std::filesystem::path& log) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const PROCESS_INFORMATION process = start_process(program, command, output, directory.c_str());
  CloseHandle(output);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return status;
}

TEST(WindowsRun, OutputHeldByAnotherProgramIsRetriedThenRefused) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  write_file(dir.path / "out.fm", "the other model");

  // Let go after 300 ms: the replace succeeds on a later try.
  HANDLE holder = hold(dir.path / "out.fm", 300);
  ToolRun run = run_tool(dir.path, {"/O", "out.fm", "m.fm", "new"});
  WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read_file(dir.path / "out.fm"), sample_model({"new"}));

  // Held longer than the tool retries, so that the rename is refused: the name keeps the old
  // file, for an edit in place too, and no temporary file is left.
  for (const std::string output : {"out.fm", "m.fm"}) {
    write_file(dir.path / "out.fm", "the other model");
    holder = hold(dir.path / output, 5000);
    run = run_tool(dir.path, {"/O", output, "m.fm", "new"});
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    // The model is held without delete sharing: a second line says what to do.
    EXPECT_TRUE(run.output.ends_with(
        "Output Model File: " + output + "\n" + fatal_line("Unable to replace output model file") +
        "Another program has the file open (the game, a viewer or a backup tool): close it and "
        "run the tool again.\n"))
        << run.output;
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path),
              (Files{{"m.fm", sample_model({"old"})}, {"out.fm", "the other model"}}));
  }

  // A model another program has open for writing is waited for, then refused untouched.
  holder = hold(dir.path / "m.fm", 5000, L"write");
  run = run_tool(dir.path, {"m.fm", "new"});
  WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  EXPECT_EQ(run.output, banner() + "Input Model File: m.fm\n" +
                            fatal_line("Model file is being written by another program"));
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(read_file(dir.path / "m.fm"), sample_model({"old"}));
}

// Models dropped on fmskins-list.exe, started as Explorer starts it: a name is quoted only
// when it holds a space, so &, ^, %, commas, semicolons and equals signs reach it bare. Each
// model is listed, a damaged one fails only its own listing, and nothing is changed.
TEST(WindowsRun, DroppedModelsAreListedByTheLister) {
  const ScratchDir dir;
  const std::vector<std::string> names = {
      "one model.fm", "a&b.fm",    "c^d.fm",
      "bad.fm",       "a,b.fm",    "a;b.fm",
      "a=b.fm",       "%PATH%.fm", "\xd0\x9a\xd0\xbe\xd1\x82 two.fm"};  // Кот two.fm
  Files files;
  std::wstring command = L"fmskins-list";
  for (std::size_t index = 0; index < names.size(); ++index) {
    files[names[index]] =
        names[index] == "bad.fm" ? "not a model" : sample_model({"skin" + std::to_string(index)});
    write_file(dir.path / utf8_path(names[index]), files[names[index]]);
    const std::wstring name = utf8_path(names[index]).wstring();
    command += names[index].find(' ') == std::string::npos ? L" " + name : L" \"" + name + L"\"";
  }
  const ScratchDir capture;
  const DWORD status =
      run_logged(program_path("fmskins-list").c_str(), command, dir.path, capture.path / "log.txt");
  const std::string listed = read_file(capture.path / "log.txt");
  EXPECT_EQ(status, 1U) << listed;
  for (std::size_t index = 0; index < names.size(); ++index) {
    if (names[index] != "bad.fm") {
      EXPECT_NE(listed.find("    skin" + std::to_string(index) + "\n"), std::string::npos)
          << listed;
    }
  }
  EXPECT_NE(listed.find("Input Model File: a&b.fm\n"), std::string::npos) << listed;
  EXPECT_NE(listed.find("Input Model File: %PATH%.fm\n"), std::string::npos) << listed;
  EXPECT_EQ(snapshot(dir.path), files);

  // A folder dropped: every model below it, in any case of .fm, and nothing else.
  const ScratchDir mods;
  const std::filesystem::path mod = mods.path / "mod";
  std::filesystem::create_directories(mod / "models" / "deep");
  write_file(mod / "ogre.FM", sample_model({"upper"}));
  write_file(mod / "models" / "deep" / "troll.fm", sample_model({"deep"}));
  write_file(mod / "models" / "skin.m8", "not a model");
  EXPECT_EQ(run_logged(program_path("fmskins-list").c_str(), L"fmskins-list mod", mods.path,
                       capture.path / "folder.txt"),
            0U);
  const std::string folder_listed = read_file(capture.path / "folder.txt");
  const std::size_t deep = folder_listed.find("    deep\n");
  const std::size_t upper = folder_listed.find("    upper\n");
  EXPECT_NE(deep, std::string::npos) << folder_listed;
  EXPECT_NE(upper, std::string::npos) << folder_listed;
  EXPECT_EQ(folder_listed.find("skin.m8"), std::string::npos) << folder_listed;
}

// The mod-folder recipe of README.txt, run by cmd as a user runs it, stops at the first
// model that fails: the models after it are left as they are.
TEST(WindowsRun, ReadmeRecipeStopsAtTheFirstFailure) {
  const ScratchDir dir;
  if (dir.path.wstring().starts_with(L"\\\\")) {
    GTEST_SKIP() << "cmd does not start in a share's folder given by its \\\\server name: "
                    "run the tests from a mapped drive letter to answer this";
  }
  std::istringstream readme(read_file(source_file("windows/README.txt", "fmskins-README.txt")));
  std::string recipe;
  for (std::string line; std::getline(readme, line);) {
    line.erase(line.find_last_not_of('\r') + 1);
    if (!recipe.empty() || line == "  @echo off") {
      recipe += line.substr(std::min<std::size_t>(2, line.size())) + "\r\n";
    }
    if (line == "  exit /b") {
      break;
    }
  }
  write_file(dir.path / "retarget.cmd", recipe);
  const Files models = {
      {"a.fm", sample_model({"old"})}, {"b.fm", "not a model"}, {"c.fm", sample_model({"old"})}};
  for (const auto& [name, bytes] : models) {
    write_file(dir.path / name, bytes);
  }
  const std::wstring path =
      utf8_path(program_path("fmskins")).parent_path().wstring() + L";" + _wgetenv(L"PATH");
  SetEnvironmentVariableW(L"PATH", path.c_str());
  const ScratchDir capture;
  const DWORD status = run_logged("C:\\windows\\system32\\cmd.exe", L"cmd /c retarget.cmd",
                                  dir.path, capture.path / "log.txt");
  const std::string log = read_file(capture.path / "log.txt");
  EXPECT_EQ(status, 1U) << recipe << log;
  EXPECT_NE(log.find("A model failed;"), std::string::npos) << log;
  // Edited in the order listed, up to the damaged model, and not one after it.
  const std::size_t failed_at = log.find("b.fm");
  for (const std::string name : {"a.fm", "c.fm"}) {
    EXPECT_EQ(read_file(dir.path / name),
              sample_model({log.find(name) < failed_at ? "models/mymod/skin.m8" : "old"}))
        << log;
  }
}

// A model another program holds without sharing for a moment is waited for; the replace
// keeps the model's hidden and system attributes.
TEST(WindowsRun, HeldModelIsWaitedForAndAttributesAreKept) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  const std::wstring model = (dir.path / "m.fm").wstring();
  constexpr DWORD marks = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_NE(SetFileAttributesW(model.c_str(), marks), 0);
  HANDLE holder = hold(dir.path / "m.fm", 1500, L"alone");
  const ToolRun run = run_tool(dir.path, {"m.fm", "new"});
  WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(GetFileAttributesW(model.c_str()) & marks, marks);
  SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(read_file(dir.path / "m.fm"), sample_model({"new"}));
}

// A run ended from outside while it writes (End task, a crash) leaves no temporary file
// behind: the temporary is marked for deletion until just before the rename.
TEST(WindowsRun, RunEndedWhileWritingLeavesNothing) {
  const ScratchDir dir;
  const std::string model =
      header_chunk(1) + skin_chunk({"old"}) + plain_chunk("frames", 1, std::size_t{300} << 20U);
  write_file(dir.path / "m.fm", model);
  const PROCESS_INFORMATION process = start_process(
      program_path("fmskins").c_str(), L"fmskins /O out.fm m.fm new", nullptr, dir.path.c_str());
  const auto names = [&dir] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
      found.push_back(entry.path().filename().string());
    }
    return found;
  };
  for (int wait = 0; wait < 2000 && names().size() < 2; ++wait) {
    Sleep(5);
  }
  EXPECT_EQ(names().size(), 2U) << "no temporary file was seen";
  TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  Sleep(200);  // the system closes the ended process's handles
  EXPECT_EQ(names(), std::vector<std::string>{"m.fm"});
  EXPECT_EQ(read_file(dir.path / "m.fm"), model);
}

// The tool's standard output redirected to a file, named as the output: the model is
// written there after the report, never replacing it.
TEST(WindowsRun, StandardOutputNamedAsOutputIsWrittenThrough) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  EXPECT_EQ(run_logged(program_path("fmskins").c_str(), L"fmskins /O log.txt m.fm new", dir.path,
                       dir.path / "log.txt"),
            0U);
  const std::string logged = read_file(dir.path / "log.txt");
  const std::string written = sample_model({"new"});
  const std::size_t model_at = logged.find(written);
  ASSERT_NE(model_at, std::string::npos) << logged;
  EXPECT_TRUE(logged.substr(0, model_at).ends_with("Output Model File: log.txt\n")) << logged;
  EXPECT_EQ(logged.substr(model_at + written.size()),
            "Wrote: log.txt, " + std::to_string(written.size()) + " bytes\n");
}

// Devices are written through the handle opened on them, never replaced.
TEST(WindowsRun, ConsoleAndNullDevicesAreWrittenDirectly) {
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  for (const std::string device : {"CON", "NUL", "nul"}) {
    const ToolRun run = run_tool(dir.path, {"/O", device, "m.fm", "new"});
    EXPECT_TRUE(run.output.ends_with(output_lines(device, sample_model({"new"}).size())))
        << run.output;
    EXPECT_EQ(run.status, 0);
  }
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
  // A device name with an extension is refused, as the output or the model: it would open
  // the device, and "Wrote:" would name no file.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"/O", "aux.fm", "m.fm", "new"},
        {"/O", "COM1.fm", "m.fm", "new"},
        {"/L", "nul.fm"}}) {
    const ToolRun run = run_tool(dir.path, arguments);
    EXPECT_TRUE(run.output.ends_with(std::string("\n") + device_name_line)) << run.output;
    EXPECT_EQ(run.status, 22);
  }
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
}

}  // namespace
}  // namespace fmskins::test
