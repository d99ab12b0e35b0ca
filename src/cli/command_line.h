#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fmskins {

// What the command line asked for. Filled once by parse_command_line, read-only afterwards.
struct RunOptions {
  std::string program_name;             // argv[0] as typed; shown by the banner and the usage text
  bool append = false;                  // /A: append the skin paths to the current list
  bool list_only = false;               // /L: only list the current skin paths
  std::string model_path;               // the input model file
  std::string output_path;              // /O, or the model path when /O was not given
  std::vector<std::string> skin_paths;  // every argument after the model path, in order
};

enum class RunMode { list, append, replace };

// List mode wins over append mode; replace mode is the default.
RunMode run_mode(const RunOptions& options);

// Prints the usage text with `program_name` in both of its places.
void print_usage(std::string_view program_name);

// Prints the banner, then parses `arguments` (argv, program name first). Command-line
// errors end the run through usage_fatal with status -1.
RunOptions parse_command_line(const std::vector<std::string>& arguments);

}  // namespace fmskins
