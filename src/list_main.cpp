// fmskins-list: lists the skin paths of every model named on its command line, as
// `fmskins /L` does, one after another, and of every model (.fm in any case) below each
// folder named; made for dropping models or a mod folder on it in Explorer, which
// passes their names unquoted unless they hold a space. No shell reads the names, so a name
// with &, ^, %, comma, semicolon or equals sign arrives as it is. Started in a console
// window of its own, it waits for Enter before the window closes.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "cli/launch.h"
#include "cli/report.h"
#include "cli/windows_text.h"
#include "files/output_windows.h"
#include "folder/folder_files.h"
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

// The models to list for one dropped name: the name itself, or for a folder every model
// below it, in order of their paths. A folder that cannot be read is told and fails.
std::vector<std::string> models_named(const std::string& name, int& status) {
  const DWORD attributes = GetFileAttributesW(fmskins::system_path(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return {name};
  }
  const fmskins::FolderFiles found = fmskins::list_folder_files(name);
  if (!found.error.empty()) {
    fmskins::report("%s\n", found.error.c_str());
    status = 1;
    return {};
  }
  std::vector<std::string> models;
  for (const std::string& file : found.files) {
    if (fmskins::is_model_name(file)) {
      models.push_back(fmskins::folder_path(name, file));
    }
  }
  if (models.empty()) {
    fmskins::report("No model (.fm) in %s\n", name.c_str());
  }
  return models;
}

}  // namespace

int main(int argc, char** argv) {
  // The report is the same bytes as the tool's: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  fmskins::guard_console_interrupts();
  fmskins::pause_before_exit_if_launched_alone();
  const std::vector<std::string> arguments = fmskins::argument_list(argc, argv);
  if (arguments.size() < 2) {
    fmskins::report(
        "Drop one or more .fm models, or a mod folder, on fmskins-list.exe to list their skin "
        "paths.\n");
    return 1;
  }
  (void)fmskins::set_exit_handler(end_listing);
  int status = 0;
  bool first = true;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    for (const std::string& model : models_named(arguments[index], status)) {
      if (!first) {
        fmskins::report("\n");
      }
      first = false;
      if (list_model(model) != 0) {
        status = 1;
      }
      (void)fmskins::flush_report();
    }
  }
  return status;
}
