#include "model/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include "cli/fatal.h"
#include "cli/report.h"
#include "model/model_file.h"

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

// Signals whose default action ends the process. Those the run stops for (job control),
// those that are ignored by default, and the two it ignores itself (SIGPIPE: a lost
// report must not kill the run; SIGXFSZ: a file-size limit fails the write instead) are
// left out.
bool ends_the_process(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGPIPE:
    case SIGXFSZ:
      return false;
    default:
      return true;
  }
}

// Signals raised by the faulting instruction itself: caught to remove the temporary file,
// never blocked, since blocking them is undefined.
bool raised_by_a_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE || signal_number == SIGTRAP || signal_number == SIGSYS ||
         signal_number == SIGABRT;
}

constexpr int signal_limit = 65;  // signal numbers run from 1 to 64 on the systems served
std::array<struct sigaction, signal_limit> previous_actions{};
std::array<bool, signal_limit> guarded{};

// The signals that interrupt the run from outside, to be held back around a step that must
// not be cut short.
sigset_t interrupting_signals() {
  sigset_t set{};
  sigemptyset(&set);
  for (int signal_number = 1; signal_number < signal_limit && signal_number < NSIG;
       ++signal_number) {
    if (ends_the_process(signal_number) && !raised_by_a_fault(signal_number)) {
      (void)sigaddset(&set, signal_number);
    }
  }
  return set;
}

// Removes the temporary file if the run is ended by a signal while it exists. Signals the
// user had ignored (nohup, say) stay ignored; numbers the system keeps for itself are
// refused by sigaction and skipped.
void guard_temporary(const std::string& temporary) {
  if (temporary.size() >= pending_temporary.size()) {
    return;
  }
  std::memcpy(pending_temporary.data(), temporary.c_str(), temporary.size() + 1);
  temporary_exists = 1;
  struct sigaction removal {};
  removal.sa_handler = remove_temporary_and_reraise;
  sigemptyset(&removal.sa_mask);
  for (int signal_number = 1; signal_number < signal_limit && signal_number < NSIG;
       ++signal_number) {
    const auto index = static_cast<std::size_t>(signal_number);
    guarded[index] = ends_the_process(signal_number) &&
                     sigaction(signal_number, nullptr, &previous_actions[index]) == 0 &&
                     previous_actions[index].sa_handler != SIG_IGN &&
                     sigaction(signal_number, &removal, nullptr) == 0;
  }
}

void release_temporary_guard() {
  if (temporary_exists == 0) {
    return;
  }
  for (std::size_t index = 0; index < guarded.size(); ++index) {
    if (guarded[index]) {
      (void)sigaction(static_cast<int>(index), &previous_actions[index], nullptr);
      guarded[index] = false;
    }
  }
  temporary_exists = 0;
}

// Waits until a descriptor that another program left non-blocking (a standard output)
// takes more bytes.
void wait_until_writable(int descriptor) {
  pollfd ready{descriptor, POLLOUT, 0};
  (void)poll(&ready, 1, -1);
}

// Errors by which the system declines to copy between two files in the kernel (other file
// systems, an output opened for appending, a kernel or file system without the call),
// rather than failing the copy.
bool copy_refused(int error_number) {
  return error_number == EXDEV || error_number == EINVAL || error_number == EBADF ||
         error_number == EOPNOTSUPP || error_number == ENOSYS;
}

// Copies up to `count` bytes of the file `from`, starting at `offset`, to the current
// position of `to`, file to file in the kernel.
ssize_t copy_in_kernel(int from, std::size_t offset, int to, std::size_t count) {
#if defined(__linux__)
  auto position = static_cast<off64_t>(offset);
  return copy_file_range(from, &position, to, nullptr, count, 0);
#else
  static_cast<void>(from);
  static_cast<void>(offset);
  static_cast<void>(to);
  static_cast<void>(count);
  errno = ENOSYS;
  return -1;
#endif
}

// Starts the disk writes of `count` bytes written at `offset`. Advice only: where it fails
// or the system has no such call, the flush at the end does the work.
void start_writeback(int descriptor, std::uint64_t offset, std::size_t count) {
#if defined(__linux__)
  (void)sync_file_range(descriptor, static_cast<off64_t>(offset), static_cast<off64_t>(count),
                        SYNC_FILE_RANGE_WRITE);
#else
  static_cast<void>(descriptor);
  static_cast<void>(offset);
  static_cast<void>(count);
#endif
}

// Writes the output's pieces to `descriptor`, in order. Into a regular file, the ranges of a
// mapped model are copied file to file in the kernel and never pass through the tool's
// memory; where the system declines that, and into anything else, they are written from
// the image, gathered with the tool's own bytes. With `flush_early`, the disk writes of
// each block are started once it is written, so that the flush at the end waits for the
// last block only instead of the whole model. False on any failure, a model file that ended
// early among them.
bool write_pieces(int descriptor, const OutputRequest& request, bool flush_early) {
  const std::vector<OutputPiece>& pieces = request.output.pieces;
  const std::span<const std::uint8_t> model = model_bytes(request.model);
  // Blocks of 8 MiB keep the disk busy from early on: with 32 MiB, a flushed replace of a
  // 256 MiB model took a quarter longer than writing and flushing it with dd.
  const std::size_t block = flush_early ? std::size_t{8} << 20U : io_block;
  struct stat status {};
  bool in_kernel =
      request.model.mapped && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  std::uint64_t written = 0;
  std::uint64_t handed = 0;  // bytes whose disk writes were started
  std::size_t index = 0;
  std::size_t into = 0;  // bytes of pieces[index] already written
  while (index < pieces.size()) {
    ssize_t put = 0;
    if (pieces[index].from_model && in_kernel) {
      put = copy_in_kernel(request.model.descriptor, pieces[index].offset + into, descriptor,
                           std::min(pieces[index].count - into, block));
      // A copy of none is taken as a refusal too (some file systems answer so): the range
      // is then written from the image, which fails if the model file did end early.
      if (put == 0 || (put < 0 && copy_refused(errno))) {
        in_kernel = false;
        continue;
      }
    } else {
      // From here up to the next range copied in the kernel, at most a block.
      std::vector<iovec> parts;
      std::size_t total = 0;
      for (std::size_t next = index, skip = into;
           next < pieces.size() && total < block && parts.size() < IOV_MAX &&
           (next == index || !pieces[next].from_model || !in_kernel);
           ++next, skip = 0) {
        std::span<const std::uint8_t> bytes =
            piece_bytes(request.output, model, pieces[next]).subspan(skip);
        bytes = bytes.first(std::min(bytes.size(), block - total));
        parts.push_back({const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
        total += bytes.size();
      }
      put = writev(descriptor, parts.data(), static_cast<int>(parts.size()));
    }
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_until_writable(descriptor);
      continue;
    }
    if (put <= 0) {
      return false;
    }
    written += static_cast<std::uint64_t>(put);
    if (flush_early && written - handed >= block) {
      // Whole 64 KiB runs only: a page whose writing has started makes the next write to it
      // wait for the disk.
      const std::uint64_t whole = written / 65536 * 65536;
      start_writeback(descriptor, handed, static_cast<std::size_t>(whole - handed));
      handed = whole;
    }
    for (auto left = static_cast<std::size_t>(put); left > 0;) {
      const std::size_t rest = pieces[index].count - into;
      into = left < rest ? into + left : 0;
      index += left < rest ? 0 : 1;
      left -= std::min(left, rest);
    }
  }
  return true;
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

// The name that the link `link_path`, whose text is `text`, leads to: relative texts count
// from the link's own directory.
std::string linked_name(const std::string& link_path, const std::string& text) {
  if (text.front() == '/') {
    return text;
  }
  std::string name = directory_of(link_path);
  name += '/';
  name += text;
  return name;
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
    target = linked_name(target, std::string(link.data(), static_cast<std::size_t>(length)));
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

// The descriptor that `path` names through the system's names for a process's own open
// files (/dev/stdout, /dev/fd/N, /proc/self/fd/N, a link to one of them), or -1. Such a
// name opened anew would start a fresh open file at offset 0, and renaming over it would
// replace the file behind the descriptor; the descriptor itself is written instead.
int descriptor_named_by(const std::string& path) {
  const std::string own_directory = "/proc/" + std::to_string(getpid()) + "/fd";
  const std::string own_thread_directory =
      "/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(getpid()) + "/fd";
  std::string target = path;
  for (int depth = 0; depth < max_link_depth && !target.empty(); ++depth) {
    const std::string name = name_of(target);
    if (!name.empty() && name.size() < 10 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
      const std::unique_ptr<char, decltype(&std::free)> directory(
          realpath(directory_of(target).c_str(), nullptr), &std::free);
      if (directory != nullptr &&
          (directory.get() == own_directory || directory.get() == own_thread_directory ||
           std::strcmp(directory.get(), "/dev/fd") == 0)) {
        int number = -1;
        (void)std::from_chars(name.data(), name.data() + name.size(), number);
        return number;
      }
    }
    std::array<char, 4096> link{};
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
      return -1;  // not a link: an ordinary name, which the rest of the writer handles
    }
    target = linked_name(target, std::string(link.data(), static_cast<std::size_t>(length)));
  }
  return -1;
}

// Ends the run, with nothing written, when another program changed the model file after it
// was read: writing the edit of what was read would throw that program's bytes away.
void check_model_unchanged(const OutputRequest& request) {
  if (model_changed_since_read(request.model, request.model_path)) {
    fatal("Model file changed while it was being edited", -1);
  }
}

// What a failed write of the output is reported as: a model file cut short under the tool
// is the cause, where it was.
const char* write_failure(const OutputRequest& request) {
  return model_changed_since_read(request.model, request.model_path)
             ? "Model file changed while it was being edited"
             : "Unable to write output model file";
}

// Writes through a descriptor that stays open for others (standard output, one the tool
// was started with), as its owner set it up and at its own offset, after the report lines
// before it.
void write_through_shared(int descriptor, const OutputRequest& request) {
  // Written over the model file itself, the output would change the bytes still to be
  // copied: it is put together in memory first.
  struct stat output {};
  struct stat model {};
  const bool over_model = request.model.descriptor >= 0 && fstat(descriptor, &output) == 0 &&
                          fstat(request.model.descriptor, &model) == 0 && same_file(output, model);
  OutputImage whole;
  if (over_model) {
    whole = make_output_image(request.output.length);
    for (const OutputPiece& piece : request.output.pieces) {
      output_append(whole, piece_bytes(request.output, model_bytes(request.model), piece));
    }
  }
  check_model_unchanged(request);
  flush_report();
  const bool written = write_pieces(
      descriptor,
      over_model ? OutputRequest{request.output_path, whole, request.model_path, request.model}
                 : request,
      false);
  // Ranges copied from a model that changed meanwhile may be a mix of old and new bytes.
  if (!written || (!over_model && model_changed_since_read(request.model, request.model_path))) {
    fatal(write_failure(request), -1);
  }
}

// Writes through a descriptor of the tool's own on a device, pipe or socket, in blocking
// mode, and closes it.
void write_through_own(int descriptor, const OutputRequest& request) {
  check_model_unchanged(request);
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) {
    (void)fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  }
  if (!write_pieces(descriptor, request, false) ||
      model_changed_since_read(request.model, request.model_path)) {
    fatal(write_failure(request), -1);
  }
  if (close(descriptor) != 0) {
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

// Copies the extended attributes of the file being replaced to its replacement, the access
// control list among them: with one, the group bits of the mode are the list's mask, and
// the mode alone would give the file other access than it had. False when the access list
// could not be copied; other attributes are kept where the system allows.
bool copy_extended_attributes(int from, int to) {
#if defined(__linux__)
  constexpr const char* access_list = "system.posix_acl_access";
  std::vector<char> names;
  for (int attempt = 0;; ++attempt) {
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) {
      return errno == ENOTSUP;  // a file system without attributes: there is no list
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = flistxattr(from, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE || attempt > 8) {  // ERANGE: the list grew meanwhile
      return false;
    }
  }
  for (std::size_t start = 0; start < names.size();) {
    const char* name = names.data() + start;
    start += std::strlen(name) + 1;
    const bool required = std::strcmp(name, access_list) == 0;
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    std::vector<char> value(size > 0 ? static_cast<std::size_t>(size) : 0);
    const ssize_t got = size < 0 ? -1 : fgetxattr(from, name, value.data(), value.size());
    const bool copied =
        got >= 0 && fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0;
    if (required && !copied) {
      return false;
    }
  }
#else
  static_cast<void>(from);
  static_cast<void>(to);
#endif
  return true;
}

// Writes the result to a temporary file beside `target`, flushes it to disk and renames it
// over `target`. `existing` is the file being replaced, open (its mode, owner and extended
// attributes are kept; it is closed here), or -1 for a new file.
void replace_through_temporary(const std::string& target, const OutputRequest& request,
                               int existing) {
  struct stat replaced {};
  if (existing >= 0 && fstat(existing, &replaced) != 0) {
    cannot_open(errno);
  }
  // The temporary name starts with a dot and keeps the name recognisable if it is ever seen.
  std::string temporary =
      directory_of(target) + "/." + name_of(target).substr(0, 200) + ".fmskins-XXXXXX";
  // No signal between making the file and recording it for removal.
  const sigset_t interrupts = interrupting_signals();
  sigset_t previous{};
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
    fatal(existing >= 0 ? "Unable to create temporary output model file"
                        : "Unable to open output model file",
          error_number);
  }

  if (!write_pieces(descriptor, request, true)) {
    fail_with_temporary(temporary, descriptor, write_failure(request));
  }
  // Owner first, then attributes, then mode, all after the data: changing the owner or
  // writing clears the set-user-ID and set-group-ID bits, and the mode set last also sets
  // an access list's mask to what it was. An ordinary user may only give a file their own
  // user and groups; the file is complete and usable with whatever owner it gets.
  if (existing >= 0) {
    const int owner_kept = fchown(descriptor, replaced.st_uid, replaced.st_gid);
    static_cast<void>(owner_kept);
    if (!copy_extended_attributes(existing, descriptor)) {
      fail_with_temporary(temporary, descriptor,
                          "Unable to keep the access control list of output model file");
    }
    (void)close(existing);
  }
  if (fchmod(descriptor, existing >= 0 ? (replaced.st_mode & 07777U) : new_file_mode()) != 0) {
    fail_with_temporary(temporary, descriptor, "Unable to set permissions of output model file");
  }
  if (fsync(descriptor) != 0) {
    fail_with_temporary(temporary, descriptor, "Unable to write output model file");
  }
  if (close(descriptor) != 0) {
    fail_with_temporary(temporary, -1, "Unable to close output model file");
  }
  // From here the run either fails with nothing replaced or has succeeded: a signal that
  // arrives later must not turn the success into a death by signal. The signals stay held
  // back until the process ends.
  (void)sigprocmask(SIG_BLOCK, &interrupts, nullptr);
  if (model_changed_since_read(request.model, request.model_path)) {
    fail_with_temporary(temporary, -1, "Model file changed while it was being edited");
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

bool same_as_descriptor(const struct stat& opened, int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && same_file(opened, status);
}

}  // namespace

void write_output_file(const OutputRequest& request) {
  // A file-size limit should fail the write, not kill the tool with a temporary file left.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  const std::string& path = request.output_path;
  if (path.empty()) {
    cannot_open(ENOENT);  // as opening an empty name fails
  }

  // One of the process's own descriptors, by name: written through, never reopened.
  const int named = descriptor_named_by(path);
  if (named >= 0 && fcntl(named, F_GETFD) >= 0) {
    if (named == request.model.descriptor || named == request.lock_descriptor) {
      cannot_open(EBADF);  // the tool's own, not one it was given
    }
    write_through_shared(named, request);
    return;
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
      replace_through_temporary(target, request, -1);
      return;
    }

    struct stat opened {};
    if (fstat(descriptor, &opened) != 0) {
      const int error_number = errno;
      close(descriptor);
      cannot_open(error_number);
    }
    // The tool's own standard output or standard error, under whatever name: written
    // through at its own offset, after the report lines before it. Reopening it would
    // start at the beginning of a file and overwrite the report or a log being appended to.
    for (const int standard : {STDOUT_FILENO, STDERR_FILENO}) {
      if (same_as_descriptor(opened, standard)) {
        close(descriptor);
        write_through_shared(standard, request);
        return;
      }
    }
    if (!S_ISREG(opened.st_mode)) {
      write_through_own(descriptor, request);  // a device, pipe or socket cannot be renamed over
      return;
    }
    // Opening it for writing showed that the user may write it; now find the name to
    // rename over, and make sure it is still the file that was opened. The descriptor stays
    // open meanwhile, so that the file's number cannot pass to another file.
    const std::string target = resolve_links(path);
    struct stat resolved {};
    if (lstat(target.c_str(), &resolved) == 0 && same_file(resolved, opened)) {
      replace_through_temporary(target, request, descriptor);
      return;
    }
    close(descriptor);
  }
  fatal("Output model file kept changing while it was being replaced", -1);
}

}  // namespace fmskins
