#include "cli/command_line.h"

#include <cstdio>

#include "cli/fatal.h"
#include "cli/report.h"

namespace fmskins {
namespace {

constexpr const char* usage_format =
    "\nProgram: %s\n"
    "Purpose: Set paths to skins for Tarnvale FlexModels\n"
    "\n"
    "Usage:\n"
    "%s [/A] [/L] [/O outfile.fm] infile.fm skinpath [skinpath...]\n"
    "The /A option appends paths to current list (else replace current list).\n"
    "The /L option just lists the current skin paths without changing the model.\n"
    "The /O option writes output to a new file (else input file is overwritten).\n";

void print_banner(const std::string& program_name) {
  report("Executing %s\n", program_name.c_str());
  report("by the fmskins developers (fmskins@tarnvale-modding.invalid)....\n");
}

}  // namespace

RunMode run_mode(const RunOptions& options) {
  if (options.list_only) {
    return RunMode::list;
  }
  return options.append ? RunMode::append : RunMode::replace;
}

void print_usage(std::string_view program_name) {
  const std::string name(program_name);
  report(usage_format, name.c_str(), name.c_str());
}

RunOptions parse_command_line(const std::vector<std::string>& arguments) {
  RunOptions options;
  // An empty argument list can only come from a caller that bypassed the shell; name the
  // tool rather than print nothing.
  options.program_name = arguments.empty() ? std::string("fmskins") : arguments.front();
  // Asked alone, the words other tools take for a version or help request are answered:
  // no run takes a single argument, so no call the tool accepts changes meaning (a model
  // named so is still reached as ./--help).
  const std::string only = arguments.size() == 2 ? arguments[1] : std::string();
  if (only == "--version") {
    report("fmskins %s\n", FMSKINS_VERSION);
    fatal("", 0);
  }
  print_banner(options.program_name);
  if (only == "--help" || only == "-h" || only == "/?") {
    print_usage(options.program_name);
    fatal("", 0);
  }

  bool have_model = false;
  bool have_output = false;
  std::size_t next = 1;
  while (next < arguments.size()) {
    const std::string& argument = arguments[next];
    if (argument == "/a" || argument == "/A") {
      options.append = true;
      ++next;
    } else if (argument == "/l" || argument == "/L") {
      options.list_only = true;
      ++next;
    } else if (argument == "/o" || argument == "/O") {
      if (next + 1 >= arguments.size()) {
        usage_fatal(options.program_name, "/O requires output file name", -1);
      }
      options.output_path = arguments[next + 1];
      have_output = true;
      next += 2;
    } else {
      // The model path ends the options: everything after it is a skin path.
      options.model_path = argument;
      have_model = true;
      options.skin_paths.assign(arguments.begin() + static_cast<std::ptrdiff_t>(next + 1),
                                arguments.end());
      if (options.skin_paths.empty() && !options.append && !options.list_only) {
        usage_fatal(options.program_name, "At least one skin path must be specified", -1);
      }
      break;
    }
  }

  if (!have_model) {
    usage_fatal(options.program_name, "No model file specified", -1);
  }
  if (!have_output) {
    options.output_path = options.model_path;
  }
  return options;
}

}  // namespace fmskins
