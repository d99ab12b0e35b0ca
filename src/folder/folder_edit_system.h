#pragma once

// What the folder edits need from the system, one file for each: folder_edit_posix.cpp and
// folder_edit_windows.cpp.

#include <filesystem>
#include <functional>
#include <string>

#include "folder/folder_edit.h"

namespace fmskins {

// Runs `edit(0)` to `edit(count - 1)`, each of which ends through fatal() on any failure, so
// that a failure ends nothing but that edit, and hands each result to `done` in order: what
// it printed as FATAL (and a "Left behind" note), and its warnings. Edits may run side by
// side; `done` runs in this thread.
void run_isolated_all(std::size_t count, const std::function<void(std::size_t)>& edit,
                      const std::function<void(std::size_t, const EditResult&)>& done);

// The path as the standard library's file streams take it, whatever its characters.
std::filesystem::path file_system_path(const std::string& path);

}  // namespace fmskins
