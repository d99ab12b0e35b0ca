#include <cstdio>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "cli/launch.h"
#include "model/model_pass.h"

#if !defined(_WIN32)
namespace {

// Started with standard input, output or error closed (by cron, say), the tool would find
// the model, the lock or the output on descriptor 1 and take it for its own standard
// output. Each closed one is opened on /dev/null first, before anything else is opened.
void open_missing_standard_descriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
      const int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
      if (opened != descriptor && opened >= 0) {
        (void)dup2(opened, descriptor);
        (void)close(opened);
      }
    }
  }
}

}  // namespace
#endif

int main(int argc, char** argv) {
#if !defined(_WIN32)
  open_missing_standard_descriptors();
  // A reader that leaves early (`| head`) must not kill a run whose model is already
  // written: a lost report line is noticed where it matters, never by death.
  (void)std::signal(SIGPIPE, SIG_IGN);
#endif
#if defined(_WIN32)
  // The report is the same bytes on every system: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
#endif
  // A report of a million chunks into a file or pipe should not cost a write per line.
  if (isatty(fileno(stdout)) == 0) {
    static char report_buffer[1U << 16U];
    (void)std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
  }
  // Reading the model and making the output report their own shortage; any other allocation
  // that fails (a very long argument list, say) ends the run the same way, never with an
  // abort.
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
