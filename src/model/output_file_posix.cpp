// Naming the output and deciding how it is written: through one of the process's own
// descriptors, directly to a device or pipe, or by replacing a file through a temporary one.
// The decision is made on the file actually opened, never on a path looked up on its own.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/fatal.h"
#include "cli/report.h"
#include "model/model_file.h"
#include "model/output_posix.h"

namespace fmskins {

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

void cannot_open(int error_number) { fatal("Unable to open output model file", error_number); }

namespace {

unsigned closed_at_start = 0;  // bit N: standard descriptor N

}  // namespace

void note_closed_at_start(int descriptor) {
  if (descriptor >= 0 && descriptor <= STDERR_FILENO) {
    closed_at_start |= 1U << static_cast<unsigned>(descriptor);
  }
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool same_as_descriptor(const struct stat& opened, int descriptor) {
  struct stat status {};
  return descriptor >= 0 && fstat(descriptor, &status) == 0 && same_file(opened, status);
}

const char* write_failure(const OutputRequest& request) {
  return model_changed_since_read(request.model, request.model_path)
             ? "Model file changed while it was being edited"
             : "Unable to write output model file";
}

namespace {

constexpr int max_link_depth = 40;  // as the system's own limit on nested links
constexpr int max_looks = 8;        // times the output may change under the tool before it gives up

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

// Opens what `path` names without creating or truncating anything, so that the file
// actually there can be looked at before anything is decided. A regular file is replaced
// by a rename, which needs no write access to it, so it is opened read-only and whether the
// user may write it is asked instead: an open for writing would break the read lease of any
// run reading it as its model, this run's own among them. A device, pipe or socket is
// written through and is opened for writing, non-blocking, so that a terminal or device
// cannot stall the open; a pipe without a reader yet is waited for, as writing to a pipe
// does. Returns -1 with errno set on failure.
int open_existing(const std::string& path) {
  struct stat named {};
  if (stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode)) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      return -1;
    }
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  const int descriptor = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0 && errno == ENXIO) {
    return open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  return descriptor;
}

bool opened_read_only(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
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

// Writes through a descriptor that stays open for others (standard output, one the tool
// was started with), as its owner set it up and at its own offset, after the report lines
// before it.
void write_through_shared(int descriptor, const OutputRequest& request) {
  // Written over the model file itself, the output would change the bytes still to be
  // copied: it is put together in memory first, and the file ends where the output does.
  struct stat output {};
  const bool over_model =
      fstat(descriptor, &output) == 0 && same_as_descriptor(output, request.model.descriptor);
  OutputImage whole;
  if (over_model) {
    whole = make_output_image(request.output.length);
    for (const OutputPiece& piece : request.output.pieces) {
      output_append(whole, piece_bytes(request.output, model_bytes(request.model), piece));
    }
  }
  check_model_unchanged(request);
  // Over the model, the output starts where the model does, whatever the descriptor's
  // offset; a descriptor that appends cannot start there, and is refused before anything
  // is written.
  if (over_model) {
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0 || lseek(descriptor, 0, SEEK_SET) != 0) {
      fatal("Unable to write output model file", -1);
    }
  }
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
  // A shorter model written over a longer one would leave the old one's end behind it.
  if (over_model) {
    const off_t end = lseek(descriptor, 0, SEEK_CUR);
    if (end < 0 || ftruncate(descriptor, end) != 0) {
      fatal("Unable to write output model file", -1);
    }
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

// True when the output named the model file when the run began: the lock, taken on the
// output before the model was read, is on the model file, or the two are named alike.
bool editing_in_place(const OutputRequest& request) {
  struct stat locked {};
  if (request.lock_descriptor >= 0 &&
      fstat(static_cast<int>(request.lock_descriptor), &locked) == 0) {
    return same_as_descriptor(locked, request.model.descriptor);
  }
  return request.output_path == request.model_path;
}

[[noreturn]] void model_gone_from_its_name(int descriptor) {
  if (descriptor >= 0) {
    (void)close(descriptor);
  }
  fatal("Model file changed while it was being edited", -1);
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
    // The tool's own, not one it was given: the model, the lock, or a standard descriptor
    // that was closed when the run began.
    if (named == request.model.descriptor || named == request.lock_descriptor ||
        (named <= STDERR_FILENO && (closed_at_start & (1U << static_cast<unsigned>(named))) != 0)) {
      cannot_open(EBADF);
    }
    write_through_shared(named, request);
    return;
  }

  // An edit in place replaces the model file under its name, and nothing else: if another
  // program has put another file there meanwhile, or taken the name away, the edit is not
  // made.
  const bool in_place = editing_in_place(request);
  // A regular file is only ever replaced whole through a rename, never truncated and
  // rewritten in place.
  for (int look = 0; look < max_looks; ++look) {
    const int descriptor = open_existing(path);
    if (descriptor < 0) {
      if (errno != ENOENT) {
        cannot_open(errno);
      }
      if (in_place) {
        model_gone_from_its_name(-1);
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
    const bool is_model = same_as_descriptor(opened, request.model.descriptor);
    if (in_place && !is_model) {
      model_gone_from_its_name(descriptor);
    }
    // The tool's own standard output or standard error, under whatever name: written
    // through at its own offset, after the report lines before it. Reopening it would
    // start at the beginning of a file and overwrite the report or a log being appended to.
    // The model file is always replaced, whatever else it is open as.
    for (const int standard : {STDOUT_FILENO, STDERR_FILENO}) {
      if (!is_model && same_as_descriptor(opened, standard)) {
        close(descriptor);
        write_through_shared(standard, request);
        return;
      }
    }
    if (!S_ISREG(opened.st_mode)) {
      if (opened_read_only(descriptor)) {
        close(descriptor);  // a regular file when looked at, another kind once opened
        continue;
      }
      write_through_own(descriptor, request);  // a device, pipe or socket cannot be renamed over
      return;
    }
    // The user may write it; now find the name to rename over, and
    // make sure it is still the file that was opened. The descriptor stays open meanwhile,
    // so that the file's number cannot pass to another file.
    const std::string target = resolve_links(path);
    struct stat resolved {};
    if (lstat(target.c_str(), &resolved) == 0 && same_file(resolved, opened)) {
      replace_through_temporary(target, request, descriptor);
      return;
    }
    close(descriptor);
    if (in_place) {
      model_gone_from_its_name(-1);
    }
  }
  fatal("Output model file kept changing while it was being replaced", -1);
}

}  // namespace fmskins
