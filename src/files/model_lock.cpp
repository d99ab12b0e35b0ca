#include "files/model_lock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "cli/fatal.h"
#include "files/model_lock_system.h"

namespace fmskins {

ModelLock lock_output_file(const std::string& output_path) {
  constexpr std::chrono::seconds lock_patience{10};
  const auto deadline = std::chrono::steady_clock::now() + lock_patience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    ModelLock lock;
    switch (try_lock_output(output_path, lock.handle)) {
      case LockOutcome::locked:
        return lock;
      case LockOutcome::nothing_to_lock:  // a new file, a device, a pipe: nothing to hold
      case LockOutcome::unlockable:       // a file system without locks: the edit goes unserialised
        return {};
      case LockOutcome::replaced:
        break;
      case LockOutcome::busy:
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      fatal("Model file is still locked by another run", -1);
    }
  }
}

void release_model_lock(ModelLock& lock) {
  if (lock.handle != -1) {
    close_lock(lock.handle);
    lock.handle = -1;
  }
}

}  // namespace fmskins
