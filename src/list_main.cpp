// fmskins-list: lists the skin paths of every model named on its command line, as
// `fmskins /L` does, one after another; made for dropping models on it in Explorer, which
// passes their names unquoted unless they hold a space. No shell reads the names, so a name
// with &, ^, %, comma, semicolon or equals sign arrives as it is. Started in a console
// window of its own, it waits for Enter before the window closes.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "cli/launch.h"
#include "cli/report.h"
#include "files/output_windows.h"
#include "model_run.h"

namespace {

// A listing that fails ends only that listing: the next model is listed all the same.
struct ListingEnded {
  int status;
};

[[noreturn]] void end_listing(int status) { throw ListingEnded{status}; }

// Lists one model; its status, as the tool's would be.
int list_model(const std::string& model_path) {
  try {
    try {
      fmskins::RunOptions options;
      options.program_name = "fmskins";
      options.list_only = true;
      options.model_path = model_path;
      options.output_path = model_path;
      fmskins::run_model_pass(options, nullptr);
    } catch (const std::bad_alloc&) {
      fmskins::fatal("Can't allocate memory", -1);  // reported as the tool reports it
    }
  } catch (const ListingEnded& ended) {
    return ended.status;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The report is the same bytes as the tool's: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  fmskins::guard_console_interrupts();
  fmskins::pause_before_exit_if_launched_alone();
  const std::vector<std::string> arguments = fmskins::argument_list(argc, argv);
  if (arguments.size() < 2) {
    fmskins::report("Drop one or more .fm models on fmskins-list.exe to list their skin paths.\n");
    return 1;
  }
  (void)fmskins::set_exit_handler(end_listing);
  int status = 0;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    if (index > 1) {
      fmskins::report("\n");
    }
    if (list_model(arguments[index]) != 0) {
      status = 1;
    }
    (void)fmskins::flush_report();
  }
  return status;
}
