#include <io.h>

#include <cstdio>
#include <new>
#include <string_view>

#include "cli/fatal.h"
#include "cli/windows_text.h"
#include "folder/folder_edit_system.h"

namespace fmskins {
namespace {

struct EditEnded {};

[[noreturn]] void throw_edit_ended(int /*status*/) { throw EditEnded{}; }

// The FATAL message of the edit under way.
std::string fatal_message;

void keep_fatal_message(std::string_view message) { fatal_message = message; }

}  // namespace

namespace {

// No process of its own here: a failure unwinds back to this point instead of ending the
// program, and its message is kept. The Windows writer holds nothing across runs (it closes
// the model once read, and no signal handler keeps its state).
EditResult run_isolated(const std::function<void()>& edit) {
  EditResult result;
  fatal_message.clear();
  const FatalMessageHook previous_hook = set_fatal_message_hook(keep_fatal_message);
  const ExitHandler previous = set_exit_handler(throw_edit_ended);
  try {
    edit();
    result.written = true;
  } catch (const EditEnded&) {
    result.message = fatal_message.empty() ? "The edit failed" : fatal_message;
  } catch (const std::bad_alloc&) {
    result.message = "Can't allocate memory";
  }
  set_exit_handler(previous);
  set_fatal_message_hook(previous_hook);
  return result;
}

}  // namespace

void run_isolated_all(std::size_t count, const std::function<void(std::size_t)>& edit,
                      const std::function<void(std::size_t, const EditResult&)>& done) {
  for (std::size_t each = 0; each < count; ++each) {
    done(each, run_isolated([&] { edit(each); }));
  }
}

std::filesystem::path file_system_path(const std::string& path) { return system_path(path); }

bool typed_to_stored(const std::string& text, std::string& stored) {
  bool lossless = true;
  stored = to_ansi_code_page(text, true, &lossless);
  return lossless;
}

bool flush_to_disk(std::FILE* file, const std::string& /*path*/) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

std::string full_file_path(const std::string& path) {
  const std::wstring full = full_path(widen(path));
  return full.empty() ? path : narrow(full);
}

}  // namespace fmskins
