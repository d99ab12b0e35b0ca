#pragma once

// Runs the built fmskins binary in a scratch directory and records what it left behind.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fmskins::test {

struct ToolRun {
  int status = -1;     // the exit status as a shell sees it (0..255), or 128 + signal
  std::string output;  // everything written to standard output
  std::string errors;  // everything written to standard error
};

// A fresh empty directory, removed with everything in it when the record goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path path;
};

// Runs the tool as "fmskins" with `arguments` in `work_dir`, with no standard input and
// standard output a pipe. A non-empty `shell_setup` is run by bash first, in the same
// process, e.g. to set a ulimit; the tool is then the "fmskins" found on its PATH. A
// non-empty `launcher` is a command that the tool is run under (e.g. setpriv). The
// environment variable FMSKINS_TEST_WRAPPER, when set, names a further command that every
// run goes through (valgrind, an emulator).
ToolRun run_tool(const std::filesystem::path& work_dir, const std::vector<std::string>& arguments,
                 const std::string& shell_setup = "", const std::string& launcher = "");

#if defined(_WIN32)
// The built program `name` ("fmskins", "fmskins-list", "hold_file"), in UTF-8: where the
// build put it, or in the Windows test zip the one beside the runner.
std::string program_path(const std::string& name);
// A file of the source tree, `relative` to its root, or in the test zip `in_zip`, beside
// the runner.
std::filesystem::path source_file(const std::string& relative, const std::string& in_zip);
#else
// A run started in the background, so that several can run at once or one can be sent a
// signal; finish_tool() waits for it and collects what it printed.
struct StartedTool {
  int process = -1;
  int output = -1;  // the read end of its standard output
  std::unique_ptr<ScratchDir> capture;
};
StartedTool start_tool(const std::filesystem::path& work_dir,
                       const std::vector<std::string>& arguments,
                       const std::string& shell_setup = "", const std::string& launcher = "");
ToolRun finish_tool(StartedTool& started);
#endif

// Notes, among the reasons ctest prints for skipped tests, a case that the running test
// leaves out on this system while the rest of it runs.
void note_skipped_case(const std::string& reason);

// A path from UTF-8 text, whatever the system's own narrow encoding.
std::filesystem::path utf8_path(std::string_view text);

// Every entry below `dir`, named in UTF-8: regular files map to their bytes, symbolic links
// to "symlink -> target", directories to "dir", anything else to "special".
std::map<std::string, std::string> snapshot(const std::filesystem::path& dir);

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

}  // namespace fmskins::test
