#include "support/tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

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

namespace {

// Splits a command prefix such as "valgrind -q --error-exitcode=99" at spaces.
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

}  // namespace

StartedTool start_tool(const fs::path& work_dir, const std::vector<std::string>& arguments,
                       const std::string& shell_setup, const std::string& launcher) {
  // The tool is found as "fmskins" on the PATH, through a link in a directory of its own,
  // so that it sees the name a user types whatever runs it. Standard output is a pipe, as
  // when a user pipes the report on; standard error goes to a capture file. Both live
  // beside the work directory, never in it.
  StartedTool started;
  started.capture = std::make_unique<ScratchDir>();
  const fs::path bin = started.capture->path / "bin";
  fs::create_directory(bin);
  fs::create_symlink(FMSKINS_TOOL_PATH, bin / "fmskins");
#if defined(FMSKINS_FOLDER_TOOL_PATH)
  fs::create_symlink(FMSKINS_FOLDER_TOOL_PATH, bin / "fmskins-folder");
#endif
  const std::string search_path =
      bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  const fs::path errors_path = started.capture->path / "stderr";
  int output_pipe[2];
  if (pipe2(output_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }

  // FMSKINS_TEST_WRAPPER runs every tool process under another program (valgrind, an
  // emulator), on top of the test's own launcher.
  const char* wrapper_text = std::getenv("FMSKINS_TEST_WRAPPER");
  const std::string wrapper = wrapper_text == nullptr ? "" : wrapper_text;
  std::vector<std::string> argv_text;
  // A wrapper that names {tool} gets the tool's path there (an emulator that does not
  // search the PATH); any other is followed by the name "fmskins". Under a shell setup the
  // path is looked up after the setup has run, since it may change the PATH.
  std::string command = launcher + " " + wrapper;
  const std::size_t placeholder = command.find("{tool}");
  if (placeholder == std::string::npos) {
    command += " fmskins";
  } else {
    command.replace(placeholder, 6,
                    shell_setup.empty() ? (bin / "fmskins").string() : "\"$(command -v fmskins)\"");
  }
  if (shell_setup.empty()) {
    argv_text = words_of(command);
  } else {
    argv_text = {"/bin/bash", "-c", shell_setup + "\nexec " + command + " \"$@\"", "bash"};
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
    const int errors = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || errors < 0 || dup2(input, 0) < 0 || dup2(output_pipe[1], 1) < 0 ||
        dup2(errors, 2) < 0 || chdir(work_dir.c_str()) != 0) {
      _exit(126);
    }
    close(output_pipe[0]);
    close(output_pipe[1]);
    // As from a terminal, whatever the test itself was started under (a background job
    // ignores interrupts).
    (void)signal(SIGINT, SIG_DFL);
    (void)signal(SIGQUIT, SIG_DFL);
    setenv("PATH", search_path.c_str(), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(output_pipe[1]);
  started.process = child;
  started.output = output_pipe[0];
  return started;
}

ToolRun finish_tool(StartedTool& started) {
  ToolRun run;
  char block[65536];
  for (;;) {
    const ssize_t got = read(started.output, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    run.output.append(block, static_cast<std::size_t>(got));
  }
  close(started.output);
  int wait_status = 0;
  while (waitpid(started.process, &wait_status, 0) < 0) {
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.errors = read_file(started.capture->path / "stderr");
  started.capture.reset();
  return run;
}

ToolRun run_tool(const fs::path& work_dir, const std::vector<std::string>& arguments,
                 const std::string& shell_setup, const std::string& launcher) {
  StartedTool started = start_tool(work_dir, arguments, shell_setup, launcher);
  return finish_tool(started);
}

}  // namespace fmskins::test
