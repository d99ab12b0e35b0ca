#include "cli/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/report.h"

namespace fmskins {
namespace {

ExitHandler current_exit_handler = nullptr;

}  // namespace

ExitHandler set_exit_handler(ExitHandler handler) {
  ExitHandler previous = current_exit_handler;
  current_exit_handler = handler;
  return previous;
}

void fatal(std::string_view message, int status) {
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
