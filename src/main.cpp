#include <cstdio>
#include <cstdlib>
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
#include "model_run.h"

#if defined(_WIN32)
#include "files/output_windows.h"
#else
#include "files/output_posix.h"
#endif

#if defined(__EMSCRIPTEN__)
#include <emscripten/emscripten.h>

#include "folder/folder_check.h"
#include "folder/retarget_plan.h"

#endif

#if !defined(_WIN32)
namespace {

// Started with standard input, output or error closed (by cron, say), the tool would find
// the model, the lock or the output on descriptor 1 and take it for its own standard
// output. Each closed one is opened on /dev/null first, before anything else is opened.
void open_missing_standard_descriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
      fmskins::note_closed_at_start(descriptor);
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

namespace {

// The run after the process is set up: the command line, then the model pass. Reading the
// model and making the output report their own shortage; any other allocation that fails (a
// very long argument list, say) ends the run the same way, never with an abort.
void run(const std::vector<std::string>& arguments, std::FILE* outline) {
  try {
    const fmskins::RunOptions options = fmskins::parse_command_line(arguments);
    fmskins::run_model_pass(options, outline);
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
}

}  // namespace

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
  fmskins::guard_console_interrupts();
#endif
  // A report of a million chunks into a file or pipe should not cost a write per line.
  if (isatty(fileno(stdout)) == 0) {
    static char report_buffer[1U << 16U];
    (void)std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
  }
  fmskins::pause_before_exit_if_launched_alone();
  std::vector<std::string> arguments;
  try {
    arguments = fmskins::argument_list(argc, argv);
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
  run(arguments, nullptr);
  return 0;
}

#if defined(__EMSCRIPTEN__)
// The page's way in: the same run as a command line, with the arguments read from the file
// `arguments_path` as byte strings, each ended by a NUL (the program name first), so that a
// path goes in with exactly the bytes it is stored as, whatever they are. The model's
// outline goes to standard error, which the tool does not otherwise use. Ends as the
// process would.
namespace {

// The bytes of the file at `path`, or none where it cannot be read.
std::string page_file(const char* path) {
  std::string text;
  if (std::FILE* file = std::fopen(path, "rb")) {
    char block[4096];
    for (std::size_t got = 0; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
      text.append(block, got);
    }
    (void)std::fclose(file);
  }
  return text;
}

}  // namespace

extern "C" EMSCRIPTEN_KEEPALIVE void fmskins_page_run(const char* arguments_path) {
  std::vector<std::string> arguments;
  try {
    const std::string text = page_file(arguments_path);
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\0', start);
      arguments.push_back(text.substr(start, end - start));
      start = end == std::string::npos ? text.size() : end + 1;
    }
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
  run(arguments, stderr);
  std::exit(0);
}

// The page's folder check: the request (see page_folder_check) read from the file
// `request_path`; the CSV goes to standard output, the JSON Lines to standard error.
extern "C" EMSCRIPTEN_KEEPALIVE void fmskins_page_folder(const char* request_path) {
  try {
    std::string csv;
    const std::string json = fmskins::page_folder_check(page_file(request_path), csv);
    (void)std::fwrite(csv.data(), 1, csv.size(), stdout);
    (void)std::fwrite(json.data(), 1, json.size(), stderr);
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
  std::exit(0);
}

// The page's prefix plan: the request (see page_retarget_plan) read from the file
// `request_path`; the plan's JSON Lines go to standard error.
extern "C" EMSCRIPTEN_KEEPALIVE void fmskins_page_retarget(const char* request_path) {
  try {
    const std::string json = fmskins::page_retarget_plan(page_file(request_path));
    (void)std::fwrite(json.data(), 1, json.size(), stderr);
  } catch (const std::bad_alloc&) {
    fmskins::fatal("Can't allocate memory", -1);
  }
  std::exit(0);
}
#endif
