#pragma once

#include <cstdint>
#include <string>

namespace fmskins {

// A lock held on the file that a run is about to replace, from before the model is read
// until the new file is in its place, so that runs writing one file take turns instead of
// each replacing it with its own edit of an older copy. An edit in place is the case where
// that file is the model.
struct ModelLock {
  std::intptr_t handle = -1;  // the locked file's descriptor (a HANDLE on Windows), or -1
};

// When `output_path` names an existing regular file, waits until no other run holds the
// lock on it and takes the lock, making sure that the path still names the file locked.
// Gives up with a FATAL line after some seconds. Takes nothing when the output does not
// exist yet or is no regular file (a device, a pipe), or when the file system has no locks.
ModelLock lock_output_file(const std::string& output_path);

// Lets the next run in. The process exit does the same.
void release_model_lock(ModelLock& lock);

}  // namespace fmskins
