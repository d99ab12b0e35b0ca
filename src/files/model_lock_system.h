#pragma once

// The system's half of the lock: one file for POSIX systems, one for Windows.

#include <cstdint>
#include <string>

namespace fmskins {

enum class LockOutcome { locked, busy, replaced, nothing_to_lock, unlockable };

// One try at the lock on the file `output_path` names, without waiting; on `locked`,
// `handle` holds it.
LockOutcome try_lock_output(const std::string& output_path, std::intptr_t& handle);

void close_lock(std::intptr_t handle);

}  // namespace fmskins
