#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "cli/fatal.h"
#include "folder/folder_edit_system.h"

namespace fmskins {
namespace {

// Reads all of `descriptor` until its end.
std::string read_all(int descriptor) {
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t got = read(descriptor, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return text;
    }
    text.append(block, static_cast<std::size_t>(got));
  }
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// An edit started in a process of its own: the process, and the pipe it prints into.
struct StartedEdit {
  pid_t process = -1;
  int output = -1;
  EditResult failed;  // why it could not be started, when `process` is -1
};

StartedEdit start_edit(const std::function<void()>& edit) {
  StartedEdit started;
  int ends[2];
  if (pipe(ends) != 0) {
    started.failed.message = std::string("Can't start the edit: ") + std::strerror(errno);
    return started;
  }
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    started.failed.message = std::string("Can't start the edit: ") + std::strerror(errno);
    (void)close(ends[0]);
    (void)close(ends[1]);
    return started;
  }
  if (child == 0) {
    // What the writer prints goes to the pipe. (The parent closed the write end of every
    // earlier edit's pipe before this one started, so none of them waits on this process.)
    (void)close(ends[0]);
    (void)dup2(ends[1], 1);
    (void)close(ends[1]);
    try {
      edit();
    } catch (const std::bad_alloc&) {
      fatal("Can't allocate memory", -1);
    }
    (void)std::fflush(stdout);
    std::_Exit(0);
  }
  (void)close(ends[1]);
  started.process = child;
  started.output = ends[0];
  return started;
}

EditResult finish_edit(const StartedEdit& started) {
  if (started.process < 0) {
    return started.failed;
  }
  EditResult result;
  const std::string printed = read_all(started.output);
  (void)close(started.output);
  int status = 0;
  while (waitpid(started.process, &status, 0) < 0 && errno == EINTR) {
  }
  for (std::size_t start = 0; start < printed.size();) {
    std::size_t end = printed.find('\n', start);
    end = end == std::string::npos ? printed.size() : end;
    const std::string_view line(printed.data() + start, end - start);
    if (line.starts_with("FATAL: ")) {
      result.message = line.substr(7);
    } else if (line.starts_with("Left behind: ")) {
      result.message += "; ";
      result.message += line;
    } else if (line.starts_with("WARNING: ")) {
      result.warnings.emplace_back(line.substr(9));
    }
    start = end + 1;
  }
  result.written = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!result.written && result.message.empty()) {
    result.message = WIFSIGNALED(status)
                         ? "The edit was ended by signal " + std::to_string(WTERMSIG(status))
                         : "The edit failed";
  }
  return result;
}

// Edits under way at once. Each flushes its model to disk; flushes made side by side are
// taken together by the file system's journal, where one after another each waits for its own.
constexpr std::size_t edits_at_once = 8;

}  // namespace

// Each edit runs in a process of its own, as a run of fmskins would: the writer's state
// (its signal handler, the lease on the model, the mapping) is the edit's alone, and its
// exit, a failure's too, ends only that process. Several run side by side; each one's end is
// handed on in order.
void run_isolated_all(std::size_t count, const std::function<void(std::size_t)>& edit,
                      const std::function<void(std::size_t, const EditResult&)>& done) {
  std::vector<StartedEdit> started(count);
  std::size_t next = 0;
  for (std::size_t each = 0; each < count; ++each) {
    for (; next < count && next < each + edits_at_once; ++next) {
      started[next] = start_edit([&, next] { edit(next); });
    }
    done(each, finish_edit(started[each]));
  }
}

std::filesystem::path file_system_path(const std::string& path) { return path; }

bool typed_to_stored(const std::string& text, std::string& stored) {
  stored = text;
  return true;
}

bool flush_to_disk(std::FILE* file, const std::string& path) {
  if (std::fflush(file) != 0 || fsync(fileno(file)) != 0) {
    return false;
  }
  const int descriptor = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  // A folder that cannot be flushed (some file systems refuse) keeps what it has.
  const bool flushed = fsync(descriptor) == 0 || errno == EINVAL;
  (void)close(descriptor);
  return flushed;
}

std::string full_file_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char* resolved = realpath(folder_of(path).c_str(), nullptr);
  if (resolved == nullptr) {
    return path;
  }
  std::string full = resolved;
  std::free(resolved);
  return (full == "/" ? full : full + "/") + name;
}

}  // namespace fmskins
