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
#include <string_view>
#include <vector>

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include "cli/fatal.h"
#include "cli/report.h"
#include "files/model_file.h"
#include "files/output_posix.h"
#include "files/signal_guard.h"

namespace fmskins {
namespace {

constexpr int max_name_tries = 100;
constexpr int max_status_looks = 8;  // times the replaced file's status may change meanwhile

// The temporary file: unnamed (made with O_TMPFILE) until it is complete, where the system
// allows, so that a kill leaves nothing behind; else named from the start and removed on
// every failure and by every catchable signal. It lives in the output's folder.
struct Temporary {
  const OutputPlace* place = nullptr;
  int descriptor = -1;
  std::string name;  // in the output's folder; empty while the file has no name
};

// A name beside the output that starts with a dot and keeps the output's name recognisable
// if it is ever seen, with a suffix that differs on every call.
std::string temporary_name(const OutputPlace& place) {
  static unsigned calls = 0;
  constexpr std::string_view letters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  auto seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(getpid()) << 32U) ^ ++calls;
  std::string name = ".";
  name.append(place.name, 0, 200);
  name += ".fmskins-";
  for (int letter = 0; letter < 6; ++letter) {
    seed = seed * 6364136223846793005U + 1442695040888963407U;
    name += letters[(seed >> 33U) % letters.size()];
  }
  return name;
}

// True when the output's folder lets files be made but none be removed or renamed away
// (`chattr +a`): a temporary file named there could never go again, and no rename over a
// file there can be made.
bool folder_keeps_every_name(const OutputPlace& place) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  int flags = 0;
  return ioctl(place.directory, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
#else
  static_cast<void>(place);
  return false;
#endif
}

// Makes the temporary file in the output's folder with `mode`, to which the kernel applies
// the umask or the folder's default access list as it does to any new file. -1 with errno
// set on failure.
Temporary make_temporary(const OutputPlace& place, mode_t mode) {
  Temporary temporary;
  temporary.place = &place;
#if defined(O_TMPFILE)
  temporary.descriptor = openat(place.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  // Refused by a file system or kernel without unnamed files: a named one instead.
  if (temporary.descriptor >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    return temporary;
  }
#endif
  if (folder_keeps_every_name(place)) {
    errno = EPERM;  // a named temporary file could never be removed there
    return temporary;
  }
  // No signal between making the file and recording it for removal.
  const sigset_t interrupts = interrupting_signals();
  sigset_t previous{};
  (void)sigprocmask(SIG_BLOCK, &interrupts, &previous);
  for (int attempt = 0; attempt < max_name_tries && temporary.descriptor < 0; ++attempt) {
    temporary.name = temporary_name(place);
    temporary.descriptor = openat(place.directory, temporary.name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (temporary.descriptor < 0 && errno != EEXIST) {
      break;
    }
  }
  const int error_number = errno;
  if (temporary.descriptor >= 0) {
    guard_temporary(place.directory, temporary.name);
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error_number;
  return temporary;
}

// Gives the complete, unnamed file open as `descriptor` the name `name` in the output's
// folder, through the system's name for the open file, or by the descriptor itself where
// that is allowed. Never replaces a file: false with errno EEXIST where the name is taken.
bool link_unnamed(int descriptor, const OutputPlace& place, const std::string& name) {
  const std::string open_file = "/proc/self/fd/" + std::to_string(descriptor);
  int linked =
      linkat(AT_FDCWD, open_file.c_str(), place.directory, name.c_str(), AT_SYMLINK_FOLLOW);
#if defined(AT_EMPTY_PATH)
  if (linked != 0 && errno == ENOENT) {  // no /proc
    linked = linkat(descriptor, "", place.directory, name.c_str(), AT_EMPTY_PATH);
  }
#endif
  return linked == 0;
}

// Gives the complete, unnamed temporary file a name beside the output. False with errno set
// on failure.
bool name_temporary(Temporary& temporary) {
  if (!temporary.name.empty()) {
    return true;
  }
  for (int attempt = 0; attempt < max_name_tries; ++attempt) {
    const std::string name = temporary_name(*temporary.place);
    if (link_unnamed(temporary.descriptor, *temporary.place, name)) {
      temporary.name = name;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

// Ends the run with `message`, the temporary file closed and removed. Where it cannot be
// removed, a second line says which file was left and why.
[[noreturn]] void fail_with_temporary(const Temporary& temporary, const char* message) {
  if (temporary.descriptor >= 0) {
    (void)close(temporary.descriptor);
  }
  std::string text = message;
  if (!temporary.name.empty() &&
      unlinkat(temporary.place->directory, temporary.name.c_str(), 0) != 0 && errno != ENOENT) {
    text += "\nLeft behind: " + temporary.place->shown + "/" + temporary.name +
            " (it could not be removed: " + std::strerror(errno) + ")";
  }
  release_temporary_guard();
  fatal(text, -1);
}

// Errors by which a file system says it keeps no such thing at all (a FAT file system
// through FUSE has no modes, owners or attributes), rather than refusing this one.
bool kept_by_no_file(int error_number) {
  return error_number == ENOTSUP || error_number == EOPNOTSUPP || error_number == ENOSYS;
}

#if defined(__linux__)
// The list of the extended attributes' names of `from`, or of its open file's name where
// the descriptor can only stand for the file (one opened without reading it). -1 with
// errno set on failure.
ssize_t list_attributes(int from, char* names, std::size_t size) {
  const ssize_t got = flistxattr(from, names, size);
  if (got >= 0 || errno != EBADF) {
    return got;
  }
  return listxattr(("/proc/self/fd/" + std::to_string(from)).c_str(), names, size);
}

ssize_t get_attribute(int from, const char* name, char* value, std::size_t size) {
  const ssize_t got = fgetxattr(from, name, value, size);
  if (got >= 0 || errno != EBADF) {
    return got;
  }
  return getxattr(("/proc/self/fd/" + std::to_string(from)).c_str(), name, value, size);
}
#endif

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
    const ssize_t size = list_attributes(from, nullptr, 0);
    if (size < 0) {
      if (!kept_by_no_file(errno)) {
        return false;
      }
      break;  // a file system without attributes: there is no list to keep
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = list_attributes(from, names.data(), names.size());
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
    const ssize_t size = get_attribute(from, name, nullptr, 0);
    std::vector<char> value(size > 0 ? static_cast<std::size_t>(size) : 0);
    const ssize_t got = size < 0 ? -1 : get_attribute(from, name, value.data(), value.size());
    const bool copied =
        got >= 0 && fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0;
    if (required && !copied) {
      return false;
    }
  }
  return had_access_list || fremovexattr(to, access_list) == 0 || errno == ENODATA ||
         kept_by_no_file(errno);
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
  // Whether this worked is read off the file below, which also covers a group kept already
  // and a file system that gives every file one owner and group.
  const int group_kept = fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid);
  static_cast<void>(group_kept);
  struct stat now {};
  return fstat(descriptor, &now) == 0 && now.st_gid == replaced.st_gid;
}

// Gives the temporary the permission bits `mode`. A file system that keeps no modes at all,
// or cannot store this one (EPERM for the temporary's own file), is accepted where the
// temporary already has exactly those bits, as every file there has the same.
bool set_mode(int descriptor, mode_t mode) {
  if (fchmod(descriptor, mode) == 0) {
    return true;
  }
  struct stat now {};
  return (kept_by_no_file(errno) || errno == EPERM) && fstat(descriptor, &now) == 0 &&
         (now.st_mode & 07777U) == mode;
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
  if (!set_mode(temporary.descriptor, mode)) {
    fail_with_temporary(temporary, "Unable to set permissions of output model file");
  }
  return group_kept;
}

bool same_change_time(const struct stat& one, const struct stat& other) {
  return one.st_ctim.tv_sec == other.st_ctim.tv_sec && one.st_ctim.tv_nsec == other.st_ctim.tv_nsec;
}

// Gives the flushed temporary the replaced file's owner, attributes and mode, flushes them
// too, and names it. The status is taken again if it changed meanwhile, and compared once
// more after the last flush, so that a chmod, chown or access list change made by the file's
// owner during the run is kept, never undone: what follows the last comparison is the rename
// alone. False when the group could not be kept.
bool finish_replacement(Temporary& temporary, int existing) {
  for (int look = 0;; ++look) {
    struct stat taken {};
    if (look == max_status_looks || fstat(existing, &taken) != 0) {
      fail_with_temporary(temporary, "Output model file kept changing while it was being replaced");
    }
    const bool group_kept = take_access(temporary, existing, taken);
    if (fsync(temporary.descriptor) != 0) {
      fail_with_temporary(temporary, "Unable to write output model file");
    }
    // A replacement needs a name to be renamed from; in a folder where no name can go
    // again, none is made, since the rename would be refused.
    if (temporary.name.empty() && folder_keeps_every_name(*temporary.place)) {
      fail_with_temporary(temporary, "Unable to replace output model file");
    }
    if (!name_temporary(temporary)) {
      fail_with_temporary(temporary, "Unable to replace output model file");
    }
    struct stat now {};
    if (fstat(existing, &now) == 0 && same_change_time(now, taken)) {
      return group_kept;
    }
  }
}

// True while the output's name in its folder still holds the file `replaced`.
bool still_named(const OutputPlace& place, const struct stat& replaced) {
  struct stat named {};
  return fstatat(place.directory, place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(named, replaced);
}

// Closes the complete, flushed temporary before it takes the output's name: a file that
// this run still had open for writing under that name would look, to the next run that
// takes the lock on it, like a model another program is writing.
void close_temporary(Temporary& temporary) {
  const int descriptor = temporary.descriptor;
  temporary.descriptor = -1;
  if (close(descriptor) != 0) {
    fail_with_temporary(temporary, "Unable to close output model file");
  }
}

// Puts the complete, flushed temporary under the output's name, where nothing was when it
// was looked at. An unnamed one is given the name itself, so that no other name is ever
// made, and closed at once; should a file have appeared there meanwhile, it is named and
// renamed over that file, as a replacement is.
void put_in_place_of_nothing(Temporary& temporary) {
  const OutputPlace& place = *temporary.place;
  if (temporary.name.empty()) {
    if (link_unnamed(temporary.descriptor, place, place.name)) {
      (void)close(temporary.descriptor);  // flushed, and in place: closing loses nothing
      temporary.descriptor = -1;
      return;
    }
    if (errno != EEXIST || !name_temporary(temporary)) {
      fail_with_temporary(temporary, "Unable to replace output model file");
    }
  }
  close_temporary(temporary);
  if (renameat(place.directory, temporary.name.c_str(), place.directory, place.name.c_str()) != 0) {
    fail_with_temporary(temporary, "Unable to replace output model file");
  }
}

}  // namespace

void replace_through_temporary(const OutputPlace& place, const OutputRequest& request,
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
  Temporary temporary = make_temporary(place, existing >= 0 ? 0600 : 0666);
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
  if (existing < 0) {
    if (model_changed_since_read(request.model, request.model_path)) {
      fail_with_temporary(temporary, "Model file changed while it was being edited");
    }
    put_in_place_of_nothing(temporary);
  } else {
    const bool group_kept = finish_replacement(temporary, existing);
    // Only the file looked at is replaced: an edit in place goes only where the model still
    // is, and another file put under the output's name meanwhile is not thrown away.
    if (!still_named(place, replaced)) {
      fail_with_temporary(temporary, replacing_model
                                         ? "Model file changed while it was being edited"
                                         : "Output model file kept changing while it was "
                                           "being replaced");
    }
    if (model_changed_since_read(request.model, request.model_path)) {
      fail_with_temporary(temporary, "Model file changed while it was being edited");
    }
    close_temporary(temporary);
    if (renameat(place.directory, temporary.name.c_str(), place.directory, place.name.c_str()) !=
        0) {
      fail_with_temporary(temporary, "Unable to replace output model file");
    }
    (void)close(existing);
    if (!group_kept) {
      report("WARNING: Could not keep the group of output model file; group access removed\n");
    }
  }
  release_temporary_guard();
  // Make the rename itself durable, where the folder can be flushed; the new file is
  // complete either way.
  (void)fsync(place.directory);
}

}  // namespace fmskins
