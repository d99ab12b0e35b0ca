#pragma once

#include <cstdint>
#include <string>

namespace fmskins {

// A lock held on the model file while a run edits it in place, so that runs on one model
// take turns instead of each replacing the model with its own edit of an older copy.
struct ModelLock {
  std::intptr_t handle = -1;  // the locked file's descriptor (a HANDLE on Windows), or -1
};

// When `output_path` names the model file itself, waits until no other run holds the lock
// on it and takes the lock, making sure that the path still names the file locked. Gives
// up with a FATAL line after some seconds. Takes nothing when the output is another file,
// when the model cannot be opened (the read reports that) or when the file system has no
// locks.
ModelLock lock_model_for_edit(const std::string& model_path, const std::string& output_path);

// Lets the next run in. The process exit does the same.
void release_model_lock(ModelLock& lock);

}  // namespace fmskins
