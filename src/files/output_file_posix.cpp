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
#include <span>

#include "cli/fatal.h"
#include "cli/report.h"
#include "files/model_file.h"
#include "files/output_posix.h"

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

// Opens the folder `path` for the writer: readable where the user may read it (so that it
// can be flushed and its flags asked), else, on Linux, only as a place to work in. Links on
// the way are followed here, once. -1 with errno set on failure.
int open_folder(int from, const std::string& path) {
  const int folder =
      openat(from, path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#if defined(O_PATH) && !defined(__EMSCRIPTEN__)
  if (folder < 0 && errno == EACCES) {
    return openat(from, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
#endif
  return folder;
}

// Opens the folder that `path` (or a link's text, relative to the folder `from`) names the
// output in, into `place`. A name ending in `/` names a folder, not a file: as creating such
// a name fails, it is refused with EISDIR (ENOTDIR where a file stands before the slash).
void enter_folder(OutputPlace& place, int from, const std::string& path) {
  const std::string folder = directory_of(path);
  const int opened = open_folder(from, folder);
  const bool folder_named = path.back() == '/';
  if (opened < 0) {
    cannot_open(folder_named && errno == ENOENT ? EISDIR : errno);
  }
  if (place.directory >= 0) {
    (void)close(place.directory);
  }
  place.directory = opened;
  place.name = name_of(path);
  place.shown = folder.front() == '/' || place.shown.empty() ? folder : place.shown + "/" + folder;
  if (folder_named || place.name.empty()) {
    cannot_open(EISDIR);
  }
}

// Opens the output's folder and follows symbolic links from its name to the file they name,
// which need not exist yet: the folder and name that the result is renamed to. Each link's
// text counts from the folder the link is in, which is held open, so the folders are looked
// up once, here. A loop, an unreadable link or a name the system cannot look up ends the
// run; it is never taken for "not a link".
OutputPlace locate_output(const std::string& path) {
  OutputPlace place;
  enter_folder(place, AT_FDCWD, path);
  for (int depth = 0; depth < max_link_depth; ++depth) {
    struct stat status {};
    if (fstatat(place.directory, place.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) {
        return place;  // nothing there yet: the file to create
      }
      cannot_open(errno);
    }
    if (!S_ISLNK(status.st_mode)) {
      return place;
    }
    std::array<char, 4096> link{};
    const ssize_t length =
        readlinkat(place.directory, place.name.c_str(), link.data(), link.size());
    if (length < 0) {
      cannot_open(errno);
    }
    if (length == 0 || static_cast<std::size_t>(length) >= link.size()) {
      cannot_open(length == 0 ? ENOENT : ENAMETOOLONG);
    }
    const std::string text(link.data(), static_cast<std::size_t>(length));
    if (place.shown.size() + text.size() >= link.size()) {
      cannot_open(ENAMETOOLONG);  // as a path too long to look up
    }
    enter_folder(place, place.directory, text);
  }
  cannot_open(ELOOP);
}

// Opens the file `status` describes, named `place.name` in the output's folder, without
// creating or truncating anything and without following a link put there since, so that
// the file actually there can be looked at before anything is decided. A regular file is
// replaced by a rename, which needs no write access to it, so it is opened read-only and
// whether the user may write it is asked instead: an open for writing would break the read
// lease of any run reading it as its model, this run's own among them. A file another
// program holds a write lease on would have that lease broken even by a read-only open,
// and is looked at without opening it for reading. A device, pipe or socket is written
// through and is opened for writing, non-blocking, so that a terminal or device cannot
// stall the open; a pipe without a reader yet is waited for, as writing to a pipe does.
// Returns -1 with errno set on failure.
int open_existing(const OutputPlace& place, const struct stat& status) {
  const char* const name = place.name.c_str();
  if (S_ISREG(status.st_mode)) {
    if (faccessat(place.directory, name, W_OK, AT_EACCESS) != 0) {
      return -1;
    }
    const int descriptor =
        openat(place.directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
#if defined(O_PATH) && !defined(__EMSCRIPTEN__)
    if (descriptor < 0 && errno == EWOULDBLOCK) {
      return openat(place.directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
#endif
    return descriptor;
  }
  const int descriptor =
      openat(place.directory, name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0 && errno == ENXIO) {
    return openat(place.directory, name, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
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

// Writes all of `bytes` at `offset`, whatever the descriptor's own position: a descriptor
// shared with another program (a parent writing its log through it) moves under the tool.
bool write_all_at(int descriptor, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t put = pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

// Makes room for a model file that grows to `bytes` before any of its bytes is overwritten,
// so that a full disk fails the write with the model as it was: the space is reserved
// where the file system can, else the part past the old end is written first. The file is
// cut back to its old size when no room can be had.
bool make_room(int descriptor, std::span<const std::uint8_t> bytes, std::uint64_t old_size) {
  if (bytes.size() <= old_size) {
    return true;
  }
#if defined(__linux__)
  if (fallocate(descriptor, 0, 0, static_cast<off_t>(bytes.size())) == 0) {
    return true;
  }
  const bool unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
#else
  const bool unsupported = true;
#endif
  if (unsupported &&
      write_all_at(descriptor, bytes.subspan(static_cast<std::size_t>(old_size)), old_size)) {
    return true;
  }
  // Cut back, the model is what it was; should even that fail, the run still fails.
  const int cut_back = ftruncate(descriptor, static_cast<off_t>(old_size));
  static_cast<void>(cut_back);
  return false;
}

// Writes the output over the model file itself through a descriptor the tool was given on
// it (`3<>m.fm`): from the file's start, with room made first, and the file cut where the
// output ends, so that a shorter list leaves no old bytes behind. The bytes written are the
// tool's own: afterwards the file is not compared with the model as read.
bool write_over_model(int descriptor, std::span<const std::uint8_t> bytes) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return false;
  }
  const auto old_size = static_cast<std::uint64_t>(status.st_size);
  return make_room(descriptor, bytes, old_size) && write_all_at(descriptor, bytes, 0) &&
         ftruncate(descriptor, static_cast<off_t>(bytes.size())) == 0;
}

// Writes through a descriptor that stays open for others (standard output, one the tool
// was started with), as its owner set it up and at its own offset, after the report lines
// before it.
void write_through_shared(int descriptor, const OutputRequest& request) {
  struct stat output {};
  const bool over_model =
      fstat(descriptor, &output) == 0 && same_as_descriptor(output, request.model.descriptor);
  if (over_model) {
    // Written over the model file itself, the output would change the bytes still to be
    // copied: it is put together in memory first. A descriptor that appends cannot start
    // at the model's start, and is refused before anything is written.
    OutputImage whole = make_output_image(request.output.length);
    for (const OutputPiece& piece : request.output.pieces) {
      output_append(whole, piece_bytes(request.output, model_bytes(request.model), piece));
    }
    check_model_unchanged(request);
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0) {
      fatal("Unable to write output model file", -1);
    }
    flush_report();
    if (!write_over_model(descriptor, {whole.bytes.get(), whole.made})) {
      fatal("Unable to write output model file", -1);
    }
    return;
  }
  check_model_unchanged(request);
  flush_report();
  // Ranges copied from a model that changed meanwhile may be a mix of old and new bytes.
  if (!write_pieces(descriptor, request, false) ||
      model_changed_since_read(request.model, request.model_path)) {
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
  // The folder is opened once, here; the name in it is looked at anew until what is there
  // holds still while it is opened. A regular file is only ever replaced whole through a
  // rename, never truncated and rewritten in place.
  const OutputPlace place = locate_output(path);
  for (int look = 0; look < max_looks; ++look) {
    struct stat found {};
    if (fstatat(place.directory, place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        cannot_open(errno);
      }
      if (in_place) {
        model_gone_from_its_name(-1);
      }
      replace_through_temporary(place, request, -1);  // nothing there: a new file
      return;
    }
    if (S_ISLNK(found.st_mode)) {
      // A link put there since the name was looked up is not followed: the write stays in
      // the folder looked at.
      if (in_place) {
        model_gone_from_its_name(-1);
      }
      continue;
    }
    const int descriptor = open_existing(place, found);
    if (descriptor < 0) {
      if (errno == ENOENT || errno == ELOOP) {
        continue;  // gone, or made a link, since it was looked at
      }
      cannot_open(errno);
    }
    struct stat opened {};
    if (fstat(descriptor, &opened) != 0) {
      const int error_number = errno;
      close(descriptor);
      cannot_open(error_number);
    }
    if (!same_file(opened, found)) {
      close(descriptor);  // another file put there meanwhile: look again
      continue;
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
      write_through_own(descriptor, request);  // a device, pipe or socket cannot be renamed over
      return;
    }
    // The descriptor stays open until the rename, so that the file's number cannot pass to
    // another file; the name is compared with it again just before.
    replace_through_temporary(place, request, descriptor);
    return;
  }
  if (in_place) {
    model_gone_from_its_name(-1);
  }
  fatal("Output model file kept changing while it was being replaced", -1);
}

}  // namespace fmskins
