#pragma once

// What the folder edits need from the system, one file for each: folder_edit_posix.cpp and
// folder_edit_windows.cpp.

#include <filesystem>
#include <functional>
#include <string>

#include "folder/folder_edit.h"

namespace fmskins {

// Runs `edit`, which ends through fatal() on any failure, so that a failure ends nothing but
// the edit: what it printed as FATAL (and a "Left behind" note), and its warnings, come back.
EditResult run_isolated(const std::function<void()>& edit);

// The path as the standard library's file streams take it, whatever its characters.
std::filesystem::path file_system_path(const std::string& path);

}  // namespace fmskins
