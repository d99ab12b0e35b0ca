// Replacing a file: the result goes to a temporary file beside it, which gets the old file's
// owner, attributes and mode, is flushed to disk, and is renamed over the old file. At every
// instant the name holds either the old file or the complete new one.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <vector>

#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include "cli/fatal.h"
#include "cli/report.h"
#include "model/model_file.h"
#include "model/output_posix.h"
#include "model/signal_guard.h"

namespace fmskins {
namespace {

constexpr int max_name_tries = 100;
constexpr int max_status_looks = 8;  // times the replaced file's status may change meanwhile

// The temporary file: unnamed (made with O_TMPFILE) until it is complete, where the system
// allows, so that a kill leaves nothing behind; else named from the start and removed on
// every failure and by every catchable signal.
struct Temporary {
  int descriptor = -1;
  std::string name;  // empty while the file has no name
};

// A name beside `target` that starts with a dot and keeps the target's name recognisable if
// it is ever seen, with a suffix that differs on every call.
std::string temporary_name(const std::string& target) {
  static unsigned calls = 0;
  constexpr std::string_view letters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  auto seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(getpid()) << 32U) ^ ++calls;
  std::string name = directory_of(target) + "/." + name_of(target).substr(0, 200) + ".fmskins-";
  for (int letter = 0; letter < 6; ++letter) {
    seed = seed * 6364136223846793005U + 1442695040888963407U;
    name += letters[(seed >> 33U) % letters.size()];
  }
  return name;
}

// Makes the temporary file for `target` with `mode`, to which the kernel applies the umask or
// the directory's default access list as it does to any new file. -1 with errno set on
// failure.
Temporary make_temporary(const std::string& target, mode_t mode) {
  Temporary temporary;
#if defined(O_TMPFILE)
  temporary.descriptor = open(directory_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  // Refused by a file system or kernel without unnamed files: a named one instead.
  if (temporary.descriptor >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    return temporary;
  }
#endif
  // No signal between making the file and recording it for removal.
  const sigset_t interrupts = interrupting_signals();
  sigset_t previous{};
  (void)sigprocmask(SIG_BLOCK, &interrupts, &previous);
  for (int attempt = 0; attempt < max_name_tries && temporary.descriptor < 0; ++attempt) {
    temporary.name = temporary_name(target);
    temporary.descriptor =
        open(temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (temporary.descriptor < 0 && errno != EEXIST) {
      break;
    }
  }
  const int error_number = errno;
  if (temporary.descriptor >= 0) {
    guard_temporary(temporary.name);
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error_number;
  return temporary;
}

// Gives the complete, unnamed temporary file a name beside `target`, through the system's
// name for the open file, or by the descriptor itself where that is allowed. False with
// errno set on failure.
bool name_temporary(Temporary& temporary, const std::string& target) {
  if (!temporary.name.empty()) {
    return true;
  }
  const std::string open_file = "/proc/self/fd/" + std::to_string(temporary.descriptor);
  for (int attempt = 0; attempt < max_name_tries; ++attempt) {
    const std::string name = temporary_name(target);
    int linked = linkat(AT_FDCWD, open_file.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
#if defined(AT_EMPTY_PATH)
    if (linked != 0 && errno == ENOENT) {  // no /proc
      linked = linkat(temporary.descriptor, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
    }
#endif
    if (linked == 0) {
      temporary.name = name;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

[[noreturn]] void fail_with_temporary(const Temporary& temporary, const char* message) {
  if (temporary.descriptor >= 0) {
    (void)close(temporary.descriptor);
  }
  if (!temporary.name.empty()) {
    (void)unlink(temporary.name.c_str());
  }
  release_temporary_guard();
  fatal(message, -1);
}

// Copies the extended attributes of the file being replaced to its replacement, the access
// control list among them: with one, the group bits of the mode are the list's mask, and
// the mode alone would give the file other access than it had. A list the replacement
// inherited from its directory's default list, where the old file had none, is removed: it
// would grant access the old file did not. False when the access list could not be kept so;
// other attributes are kept where the system allows.
bool copy_extended_attributes(int from, int to) {
#if defined(__linux__)
  constexpr const char* access_list = "system.posix_acl_access";
  std::vector<char> names;
  for (int attempt = 0;; ++attempt) {
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) {
      if (errno != ENOTSUP) {
        return false;
      }
      break;  // a file system without attributes: there is no list to keep
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
  bool had_access_list = false;
  for (std::size_t start = 0; start < names.size();) {
    const char* name = names.data() + start;
    start += std::strlen(name) + 1;
    const bool required = std::strcmp(name, access_list) == 0;
    had_access_list = had_access_list || required;
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    std::vector<char> value(size > 0 ? static_cast<std::size_t>(size) : 0);
    const ssize_t got = size < 0 ? -1 : fgetxattr(from, name, value.data(), value.size());
    const bool copied =
        got >= 0 && fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0;
    if (required && !copied) {
      return false;
    }
  }
  return had_access_list || fremovexattr(to, access_list) == 0 || errno == ENODATA ||
         errno == ENOTSUP;
#else
  static_cast<void>(from);
  static_cast<void>(to);
  return true;
#endif
}

// Gives the replacement the replaced file's owner and group. An ordinary user may give a
// file only their own user and a group they are in: the owner then becomes the editor,
// which cannot be helped, and the group is kept on its own where the editor is in it.
// False when the group could not be kept.
bool keep_owner(int descriptor, const struct stat& replaced) {
  if (fchown(descriptor, replaced.st_uid, replaced.st_gid) == 0) {
    return true;
  }
  // Whether this worked is read off the file below, which also covers a group kept already.
  const int group_kept = fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid);
  static_cast<void>(group_kept);
  struct stat now {};
  return fstat(descriptor, &now) == 0 && now.st_gid == replaced.st_gid;
}

// Puts the replaced file's owner and group, extended attributes and mode, as `replaced`
// shows them, on the temporary. Owner first, then attributes, then mode: changing the owner
// clears the set-user-ID and set-group-ID bits, and the mode set last also sets an access
// list's mask to what it was. False when the group could not be kept (its access is then
// removed); a failure that leaves access wider than the old file's ends the run.
bool take_access(const Temporary& temporary, int existing, const struct stat& replaced) {
  mode_t mode = replaced.st_mode & 07777U;
  const bool group_kept = keep_owner(temporary.descriptor, replaced);
  if (!group_kept) {
    // The group the file would have is not the one that had the group's access.
    mode &= ~static_cast<mode_t>(S_IRWXG);
  }
  if (!copy_extended_attributes(existing, temporary.descriptor)) {
    fail_with_temporary(temporary, "Unable to keep the access control list of output model file");
  }
  if (fchmod(temporary.descriptor, mode) != 0) {
    fail_with_temporary(temporary, "Unable to set permissions of output model file");
  }
  return group_kept;
}

// True while `target` still names the file `replaced`.
bool still_named(const std::string& target, const struct stat& replaced) {
  struct stat named {};
  return lstat(target.c_str(), &named) == 0 && same_file(named, replaced);
}

}  // namespace

void replace_through_temporary(const std::string& target, const OutputRequest& request,
                               int existing) {
  struct stat replaced {};
  if (existing >= 0 && fstat(existing, &replaced) != 0) {
    cannot_open(errno);
  }
  const bool replacing_model =
      existing >= 0 && same_as_descriptor(replaced, request.model.descriptor);
  // A new file is made as any new file is: the kernel applies the umask, or the directory's
  // default access list, which the umask does not narrow. A replacement is private until it
  // has the old file's mode.
  Temporary temporary = make_temporary(target, existing >= 0 ? 0600 : 0666);
  if (temporary.descriptor < 0) {
    // Without a writable directory the model cannot be replaced safely; it is refused
    // rather than overwritten in place.
    fatal(existing >= 0 ? "Unable to create temporary output model file"
                        : "Unable to open output model file",
          errno);
  }

  if (!write_pieces(temporary.descriptor, request, true) || fsync(temporary.descriptor) != 0) {
    fail_with_temporary(temporary, write_failure(request));
  }
  // From here the run either fails with nothing replaced or has succeeded: a signal that
  // arrives later must not turn the success into a death by signal. The signals stay held
  // back until the process ends.
  const sigset_t interrupts = interrupting_signals();
  (void)sigprocmask(SIG_BLOCK, &interrupts, nullptr);
  // The replaced file's owner, attributes and mode are taken once the data is on the disk,
  // just before the rename, so that a chmod, chown or access list change made by its owner
  // during the run is kept, not undone: where its status changed meanwhile, they are taken
  // again.
  if (existing >= 0) {
    bool group_kept = true;
    for (int look = 0;; ++look) {
      struct stat taken {};
      if (look == max_status_looks || fstat(existing, &taken) != 0) {
        fail_with_temporary(temporary,
                            "Output model file kept changing while it was being replaced");
      }
      group_kept = take_access(temporary, existing, taken);
      struct stat now {};
      if (fstat(existing, &now) == 0 && now.st_ctim.tv_sec == taken.st_ctim.tv_sec &&
          now.st_ctim.tv_nsec == taken.st_ctim.tv_nsec) {
        break;
      }
    }
    (void)close(existing);
    if (!group_kept) {
      report("WARNING: Could not keep the group of output model file; group access removed\n");
    }
    if (fsync(temporary.descriptor) != 0) {
      fail_with_temporary(temporary, "Unable to write output model file");
    }
  }
  // An edit in place goes only where the model still is: under a name that now holds
  // another file, it would throw that file away.
  if (model_changed_since_read(request.model, request.model_path) ||
      (replacing_model && !still_named(target, replaced))) {
    fail_with_temporary(temporary, "Model file changed while it was being edited");
  }
  if (!name_temporary(temporary, target)) {
    fail_with_temporary(temporary, "Unable to replace output model file");
  }
  const int descriptor = temporary.descriptor;
  temporary.descriptor = -1;
  if (close(descriptor) != 0) {
    fail_with_temporary(temporary, "Unable to close output model file");
  }
  if (rename(temporary.name.c_str(), target.c_str()) != 0) {
    fail_with_temporary(temporary, "Unable to replace output model file");
  }
  release_temporary_guard();

  // Make the rename itself durable; the new file is complete either way.
  const int directory = open(directory_of(target).c_str(), O_RDONLY | O_CLOEXEC);
  if (directory >= 0) {
    (void)fsync(directory);
    (void)close(directory);
  }
}

}  // namespace fmskins
