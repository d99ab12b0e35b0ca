#include "support/tool_runner.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#ifndef FMSKINS_TOOL_PATH
#error "FMSKINS_TOOL_PATH must name the built tool"
#endif

namespace fmskins::test {
namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "fmskins-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch directory");
  }
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; open them up so they can go.
  for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path, ignored);
}

ToolRun run_tool(const fs::path& work_dir, const std::vector<std::string>& arguments,
                 const std::string& shell_setup) {
  // Capture files live beside the work directory, never in it.
  const ScratchDir capture;
  const fs::path output_path = capture.path / "stdout";
  const fs::path errors_path = capture.path / "stderr";

  std::vector<std::string> argv_text;
  std::string program = FMSKINS_TOOL_PATH;
  if (shell_setup.empty()) {
    argv_text.emplace_back("fmskins");
  } else {
    program = "/bin/bash";
    argv_text = {"bash", "-c", shell_setup + "\nexec -a fmskins \"$0\" \"$@\"", FMSKINS_TOOL_PATH};
  }
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    throw std::runtime_error("fork failed");
  }
  if (child == 0) {
    const int input = open("/dev/null", O_RDONLY);
    const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errors = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || output < 0 || errors < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 ||
        dup2(errors, 2) < 0 || chdir(work_dir.c_str()) != 0) {
      _exit(126);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0) {
  }
  ToolRun run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.output = read_file(output_path);
  run.errors = read_file(errors_path);
  return run;
}

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).generic_string();
    if (entry.is_symlink()) {
      entries[name] = "symlink -> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      entries[name] = "dir";
    } else if (entry.is_regular_file()) {
      entries[name] = read_file(entry.path());
    } else {
      entries[name] = "special";
    }
  }
  return entries;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace fmskins::test
