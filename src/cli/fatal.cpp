#include "cli/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/report.h"

namespace fmskins {
namespace {

ExitHandler current_exit_handler = nullptr;
FatalMessageHook current_message_hook = nullptr;

}  // namespace

ExitHandler set_exit_handler(ExitHandler handler) {
  ExitHandler previous = current_exit_handler;
  current_exit_handler = handler;
  return previous;
}

FatalMessageHook set_fatal_message_hook(FatalMessageHook hook) {
  FatalMessageHook previous = current_message_hook;
  current_message_hook = hook;
  return previous;
}

void fatal(std::string_view message, int status) {
  if (current_message_hook != nullptr) {
    current_message_hook(message);
  }
  if (!message.empty()) {
    report("\nFATAL: %.*s\n", static_cast<int>(message.size()), message.data());
  }
  if (current_exit_handler != nullptr) {
    current_exit_handler(status);
  }
  std::exit(status);
}

void usage_fatal(std::string_view program_name, std::string_view message, int status) {
  print_usage(program_name);
  fatal(message, status);
}

}  // namespace fmskins
