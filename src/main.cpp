#include <cstdio>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "cli/launch.h"
#include "model/model_pass.h"

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The report is the same bytes on every system: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
#endif
  // A report of a million chunks into a file or pipe should not cost a write per line.
  if (isatty(fileno(stdout)) == 0) {
    static char report_buffer[1U << 16U];
    (void)std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
  }
  // The two model buffers report their own shortage; any other allocation that fails (a
  // very long argument list, say) ends the run the same way, never with an abort.
  try {
    fmskins::pause_before_exit_if_launched_alone();
    const std::vector<std::string> arguments = fmskins::argument_list(argc, argv);
    const fmskins::RunOptions options = fmskins::parse_command_line(arguments);
    fmskins::run_model_pass(options);
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
  return 0;
}
