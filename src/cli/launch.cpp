#include "cli/launch.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

#include <shellapi.h>

#include "cli/report.h"
#include "cli/windows_text.h"
#endif

namespace fmskins {

bool should_pause_before_exit(unsigned long console_processes, bool output_is_console,
                              bool input_is_console) {
  return console_processes == 1 && output_is_console && input_is_console;
}

#if defined(_WIN32)
namespace {

bool is_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

void wait_for_enter() {
  report("\nPress Enter to close this window.");
  flush_report();
  for (int character = std::getchar(); character != '\n' && character != EOF;
       character = std::getchar()) {
  }
}

}  // namespace

std::vector<std::string> argument_list(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return {argv, argv + argc};
  }
  std::vector<std::string> arguments;
  for (int index = 0; index < count; ++index) {
    arguments.push_back(narrow(wide[index]));
  }
  LocalFree(wide);
  return arguments;
}

void pause_before_exit_if_launched_alone() {
  DWORD processes[2] = {};
  const DWORD count = GetConsoleProcessList(processes, 2);
  if (should_pause_before_exit(count, is_console(STD_OUTPUT_HANDLE),
                               is_console(STD_INPUT_HANDLE))) {
    (void)std::atexit(wait_for_enter);
  }
}
#else
std::vector<std::string> argument_list(int argc, char** argv) { return {argv, argv + argc}; }

void pause_before_exit_if_launched_alone() {}
#endif

}  // namespace fmskins
