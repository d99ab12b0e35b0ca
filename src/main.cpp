#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/command_line.h"
#include "model/model_pass.h"

int main(int argc, char** argv) {
  // A report of a million chunks into a file or pipe should not cost a write per line.
  if (isatty(fileno(stdout)) == 0) {
    static char report_buffer[1U << 16U];
    (void)std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
  }
  const std::vector<std::string> arguments(argv, argv + argc);
  const fmskins::RunOptions options = fmskins::parse_command_line(arguments);
  fmskins::run_model_pass(options);
  return 0;
}
