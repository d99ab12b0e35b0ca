// The output file itself is locked. The run before may replace it while this one waits;
// then the file locked is the old one, and the one now named is locked instead.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "files/model_lock_system.h"

namespace fmskins {
namespace {

bool same_file(int descriptor, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(descriptor, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

LockOutcome try_lock_output(const std::string& output_path, std::intptr_t& handle) {
  // Read-only and non-blocking: opening changes nothing, and a FIFO does not wait.
  const int descriptor = open(output_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    // Nothing there yet, or nothing this user may read: the writer finds out which.
    return LockOutcome::nothing_to_lock;
  }
  struct stat status {};
  LockOutcome outcome = LockOutcome::nothing_to_lock;
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      outcome = same_file(descriptor, output_path) ? LockOutcome::locked : LockOutcome::replaced;
    } else {
      outcome =
          errno == EWOULDBLOCK || errno == EINTR ? LockOutcome::busy : LockOutcome::unlockable;
    }
  }
  if (outcome == LockOutcome::locked) {
    handle = descriptor;
  } else {
    close(descriptor);
  }
  return outcome;
}

void close_lock(std::intptr_t handle) { close(static_cast<int>(handle)); }

}  // namespace fmskins
