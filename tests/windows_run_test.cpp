// The built tool on what only Windows has: Unicode names beside an 8-bit code page, files
// held open by other programs, and the console devices.

#include <gtest/gtest.h>
#include <windows.h>

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

#ifndef FMSKINS_HOLD_FILE_PATH
#error "FMSKINS_HOLD_FILE_PATH must name the hold_file helper"
#endif

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

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
  // 鬼 has no place in code page 1252; the report, in that code page, shows it as "?".
  const ToolRun run = run_tool(dir.path, {"/O", "out.fm", "m.fm", "ok.m8", "\xe9\xac\xbc.m8"});
  EXPECT_TRUE(run.output.ends_with(
      fatal_line("Skin path cannot be stored in the system's code page: ?.m8")))
      << run.output;
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model({"old"})}}));
}

// Holds `path` open from another process for `milliseconds`; returns once it is held.
HANDLE hold(const std::filesystem::path& path, int milliseconds) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  EXPECT_NE(CreatePipe(&read_end, &write_end, &security, 0), 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  std::wstring command = L"hold_file \"" + path.wstring() + L"\" " + std::to_wstring(milliseconds);
  const std::wstring helper = utf8_path(FMSKINS_HOLD_FILE_PATH).wstring();
  EXPECT_NE(CreateProcessW(helper.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &process),
            0);
  CloseHandle(write_end);
  char said[8] = {};
  DWORD got = 0;
  ReadFile(read_end, said, 4, &got, nullptr);
  EXPECT_EQ(std::string(said, got), "held");
  CloseHandle(read_end);
  CloseHandle(process.hThread);
  return process.hProcess;
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

  // Held longer than the tool retries: refused, with the output whole and nothing left.
  write_file(dir.path / "out.fm", "the other model");
  holder = hold(dir.path / "out.fm", 5000);
  run = run_tool(dir.path, {"/O", "out.fm", "m.fm", "new"});
  WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  EXPECT_TRUE(run.output.ends_with("Output Model File: out.fm\n" +
                                   fatal_line("Unable to replace output model file")))
      << run.output;
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(snapshot(dir.path),
            (Files{{"m.fm", sample_model({"old"})}, {"out.fm", "the other model"}}));
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
}

}  // namespace
}  // namespace fmskins::test
