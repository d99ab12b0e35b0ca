#include "model/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/fatal.h"

namespace fmskins {
namespace {

constexpr std::size_t io_block = std::size_t{1} << 30U;
constexpr int max_link_depth = 40;  // as the system's own limit on nested links

// The temporary file while it exists, for the signal handler to remove. A fixed buffer,
// since the handler may use only async-signal-safe calls.
std::array<char, 4096> pending_temporary{};
volatile std::sig_atomic_t temporary_exists = 0;

extern "C" void remove_temporary_and_reraise(int signal_number) {
  if (temporary_exists != 0) {
    (void)unlink(pending_temporary.data());
  }
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

constexpr std::array<int, 4> interrupting_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, interrupting_signals.size()> previous_actions{};

// Removes the temporary file if the run is interrupted while it exists. Signals the user
// had ignored (nohup, say) stay ignored.
void guard_temporary(const std::string& temporary) {
  if (temporary.size() >= pending_temporary.size()) {
    return;
  }
  std::memcpy(pending_temporary.data(), temporary.c_str(), temporary.size() + 1);
  temporary_exists = 1;
  struct sigaction removal {};
  removal.sa_handler = remove_temporary_and_reraise;
  sigemptyset(&removal.sa_mask);
  for (std::size_t index = 0; index < interrupting_signals.size(); ++index) {
    if (sigaction(interrupting_signals[index], nullptr, &previous_actions[index]) == 0 &&
        previous_actions[index].sa_handler != SIG_IGN) {
      (void)sigaction(interrupting_signals[index], &removal, nullptr);
    }
  }
}

void release_temporary_guard() {
  if (temporary_exists == 0) {
    return;
  }
  for (std::size_t index = 0; index < interrupting_signals.size(); ++index) {
    (void)sigaction(interrupting_signals[index], &previous_actions[index], nullptr);
  }
  temporary_exists = 0;
}

bool write_fully(int descriptor, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put =
        write(descriptor, bytes.data(), bytes.size() < io_block ? bytes.size() : io_block);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

// Writes `bytes` to a file that will be flushed to disk, starting the disk writes of each
// block as soon as it is written (where the system allows), so that the flush at the end
// waits for the last blocks only instead of the whole model.
bool write_for_flush(int descriptor, std::span<const std::uint8_t> bytes) {
#if defined(__linux__)
  constexpr std::size_t writeback_block = std::size_t{32} << 20U;
  off64_t written = 0;
  while (!bytes.empty()) {
    const std::span<const std::uint8_t> block =
        bytes.first(bytes.size() < writeback_block ? bytes.size() : writeback_block);
    if (!write_fully(descriptor, block)) {
      return false;
    }
    // Advice only: a failure here leaves the work to the flush.
    (void)sync_file_range(descriptor, written, static_cast<off64_t>(block.size()),
                          SYNC_FILE_RANGE_WRITE);
    written += static_cast<off64_t>(block.size());
    bytes = bytes.subspan(block.size());
  }
  return true;
#else
  return write_fully(descriptor, bytes);
#endif
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links from `path` to the file they name, which need not exist yet.
// Returns false, with errno set, on a loop or an unreadable link.
bool resolve_links(const std::string& path, std::string& target) {
  target = path;
  for (int depth = 0; depth < max_link_depth; ++depth) {
    struct stat status {};
    if (lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      return true;  // not a link (or nothing there yet): this is the file to write
    }
    std::array<char, 4096> link{};
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0) {
      return false;
    }
    if (static_cast<std::size_t>(length) >= link.size()) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string next(link.data(), static_cast<std::size_t>(length));
    if (next.front() == '/') {
      target = next;
    } else {
      target = directory_of(target);
      target += '/';
      target += next;
    }
  }
  errno = ELOOP;
  return false;
}

// Writes straight into `path`, creating or truncating it: for outputs that cannot be
// replaced by renaming, such as devices and pipes.
void write_directly(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    fatal("Unable to open output model file", errno);
  }
  if (!write_fully(descriptor, bytes)) {
    fatal("Unable to write output model file", -1);
  }
  if (close(descriptor) != 0) {
    fatal("Unable to close output model file", -1);
  }
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666U & ~static_cast<unsigned>(mask));
}

[[noreturn]] void fail_with_temporary(const std::string& temporary, int descriptor,
                                      const char* message) {
  if (descriptor >= 0) {
    close(descriptor);
  }
  (void)unlink(temporary.c_str());
  release_temporary_guard();
  fatal(message, -1);
}

}  // namespace

void write_output_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  // A file-size limit should fail the write, not kill the tool with a temporary file left.
  (void)std::signal(SIGXFSZ, SIG_IGN);

  struct stat existing {};
  const bool exists = stat(path.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) {
    fatal("Unable to open output model file", errno);
  }
  struct stat standard_output {};
  if (exists && (!S_ISREG(existing.st_mode) || (fstat(STDOUT_FILENO, &standard_output) == 0 &&
                                                same_file(existing, standard_output)))) {
    write_directly(path, bytes);
    return;
  }

  std::string target;
  if (!resolve_links(path, target)) {
    fatal("Unable to open output model file", errno);
  }
  if (exists) {
    struct stat resolved {};
    if (stat(target.c_str(), &resolved) != 0 || !same_file(existing, resolved)) {
      // The name does not lead to the file by a path that can be renamed over (a link
      // into the process's own descriptors, say): write it the plain way.
      write_directly(path, bytes);
      return;
    }
    // A file the user may not write is not replaced behind its back.
    const int probe = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
      fatal("Unable to open output model file", errno);
    }
    close(probe);
  }

  // The temporary name starts with a dot and keeps the name recognisable if it is ever seen.
  std::string temporary =
      directory_of(target) + "/." + name_of(target).substr(0, 200) + ".fmskins-XXXXXX";
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) {
    // Without a writable directory the model cannot be replaced safely; it is refused
    // rather than overwritten in place.
    fatal(exists ? "Unable to create temporary output model file"
                 : "Unable to open output model file",
          errno);
  }
  guard_temporary(temporary);

  if (exists) {
    // Best effort: an ordinary user may only set their own user and groups, and the file
    // is complete and usable with whatever owner it gets.
    (void)fchown(descriptor, existing.st_uid, existing.st_gid);
  }
  if (fchmod(descriptor, exists ? (existing.st_mode & 07777U) : new_file_mode()) != 0 ||
      !write_for_flush(descriptor, bytes) || fsync(descriptor) != 0) {
    fail_with_temporary(temporary, descriptor, "Unable to write output model file");
  }
  if (close(descriptor) != 0) {
    fail_with_temporary(temporary, -1, "Unable to close output model file");
  }
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    fail_with_temporary(temporary, -1, "Unable to replace output model file");
  }
  release_temporary_guard();

  // Make the rename itself durable; the new file is complete either way.
  const int directory = open(directory_of(target).c_str(), O_RDONLY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
}

}  // namespace fmskins
