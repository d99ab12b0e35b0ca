#include "model/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/fatal.h"
#include "cli/report.h"

namespace fmskins {
namespace {

constexpr std::size_t io_block = std::size_t{1} << 30U;
constexpr int max_link_depth = 40;  // as the system's own limit on nested links
constexpr int max_looks = 8;        // times the output may change under the tool before it gives up

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
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A standard output that another program left non-blocking: wait until it drains.
      pollfd ready{descriptor, POLLOUT, 0};
      (void)poll(&ready, 1, -1);
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

[[noreturn]] void cannot_open(int error_number) {
  fatal("Unable to open output model file", error_number);
}

// Follows symbolic links from `path` to the file they name, which need not exist yet: the
// name that the result is renamed to. A loop, an unreadable link or a name the system
// cannot look up ends the run; it is never taken for "not a link".
std::string resolve_links(const std::string& path) {
  std::string target = path;
  for (int depth = 0; depth < max_link_depth; ++depth) {
    struct stat status {};
    if (lstat(target.c_str(), &status) != 0) {
      if (errno == ENOENT) {
        return target;  // nothing there yet: the file to create
      }
      cannot_open(errno);
    }
    if (!S_ISLNK(status.st_mode)) {
      return target;
    }
    std::array<char, 4096> link{};
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0) {
      cannot_open(errno);
    }
    if (length == 0 || static_cast<std::size_t>(length) >= link.size()) {
      cannot_open(length == 0 ? ENOENT : ENAMETOOLONG);
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
  cannot_open(ELOOP);
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666U & ~static_cast<unsigned>(mask));
}

// Opens what `path` names for writing without creating or truncating anything, so that the
// file actually there can be looked at before anything is decided. Non-blocking, so that
// a terminal or device cannot stall the open; a pipe without a reader yet is waited for,
// as writing to a pipe does. Returns -1 with errno set on failure.
int open_existing(const std::string& path) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0 && errno == ENXIO) {
    return open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  return descriptor;
}

// Writes through a descriptor already open on a device, pipe or socket (its own, which is
// put in blocking mode and closed) or through standard output (left as the shell set it).
void write_through(int descriptor, std::span<const std::uint8_t> bytes) {
  const int flags = fcntl(descriptor, F_GETFL);
  if (descriptor != STDOUT_FILENO && flags >= 0) {
    (void)fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  }
  if (!write_fully(descriptor, bytes)) {
    fatal("Unable to write output model file", -1);
  }
  if (descriptor != STDOUT_FILENO && close(descriptor) != 0) {
    fatal("Unable to close output model file", -1);
  }
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

// Writes the result to a temporary file beside `target`, flushes it to disk and renames it
// over `target`. `existing` is the file being replaced (its mode and owner are kept), or
// null for a new file.
void replace_through_temporary(const std::string& target, std::span<const std::uint8_t> bytes,
                               const struct stat* existing) {
  // The temporary name starts with a dot and keeps the name recognisable if it is ever seen.
  std::string temporary =
      directory_of(target) + "/." + name_of(target).substr(0, 200) + ".fmskins-XXXXXX";
  // No interrupt between making the file and recording it for removal.
  sigset_t interrupts{};
  sigset_t previous{};
  sigemptyset(&interrupts);
  for (const int signal_number : interrupting_signals) {
    sigaddset(&interrupts, signal_number);
  }
  (void)sigprocmask(SIG_BLOCK, &interrupts, &previous);
  const int descriptor = mkstemp(temporary.data());
  const int error_number = errno;
  if (descriptor >= 0) {
    guard_temporary(temporary);
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (descriptor < 0) {
    // Without a writable directory the model cannot be replaced safely; it is refused
    // rather than overwritten in place.
    fatal(existing != nullptr ? "Unable to create temporary output model file"
                              : "Unable to open output model file",
          error_number);
  }

  if (!write_for_flush(descriptor, bytes)) {
    fail_with_temporary(temporary, descriptor, "Unable to write output model file");
  }
  // Owner first, then mode, both after the data: changing the owner or writing clears the
  // set-user-ID and set-group-ID bits. An ordinary user may only give a file their own user
  // and groups; the file is complete and usable with whatever owner it gets.
  if (existing != nullptr) {
    const int owner_kept = fchown(descriptor, existing->st_uid, existing->st_gid);
    static_cast<void>(owner_kept);
  }
  if (fchmod(descriptor, existing != nullptr ? (existing->st_mode & 07777U) : new_file_mode()) !=
      0) {
    fail_with_temporary(temporary, descriptor, "Unable to set permissions of output model file");
  }
  if (fsync(descriptor) != 0) {
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

}  // namespace

void write_output_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  // A file-size limit should fail the write, not kill the tool with a temporary file left.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  if (path.empty()) {
    cannot_open(ENOENT);  // as opening an empty name fails
  }

  // Decide by the file actually opened, never by a path looked up on its own: another
  // program may replace the file between two lookups. A regular file is only ever replaced
  // whole through a rename, never truncated and rewritten in place.
  for (int look = 0; look < max_looks; ++look) {
    const int descriptor = open_existing(path);
    if (descriptor < 0) {
      if (errno != ENOENT) {
        cannot_open(errno);
      }
      // Nothing there (or a link to nothing): a new file.
      const std::string target = resolve_links(path);
      if (target.back() == '/') {
        cannot_open(EISDIR);  // as creating a name with a trailing slash fails
      }
      struct stat appeared {};
      if (lstat(target.c_str(), &appeared) == 0) {
        continue;  // created meanwhile: look again
      }
      replace_through_temporary(target, bytes, nullptr);
      return;
    }

    struct stat opened {};
    if (fstat(descriptor, &opened) != 0) {
      const int error_number = errno;
      close(descriptor);
      cannot_open(error_number);
    }
    struct stat standard_output {};
    if (fstat(STDOUT_FILENO, &standard_output) == 0 && same_file(opened, standard_output)) {
      // The tool's own standard output, under whatever name: write through descriptor 1 at
      // its own offset, after the report lines before it. Reopening it would start at the
      // beginning of a file and overwrite the report or a log being appended to.
      close(descriptor);
      flush_report();
      write_through(STDOUT_FILENO, bytes);
      return;
    }
    if (!S_ISREG(opened.st_mode)) {
      write_through(descriptor, bytes);  // a device, pipe or socket cannot be renamed over
      return;
    }
    close(descriptor);
    // Opening it for writing showed that the user may write it; now find the name to
    // rename over, and make sure it is still the file that was opened.
    const std::string target = resolve_links(path);
    struct stat resolved {};
    if (lstat(target.c_str(), &resolved) == 0 && same_file(resolved, opened)) {
      replace_through_temporary(target, bytes, &opened);
      return;
    }
  }
  fatal("Output model file kept changing while it was being replaced", -1);
}

}  // namespace fmskins
