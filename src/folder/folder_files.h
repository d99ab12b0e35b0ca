#pragma once

// The files of a mod folder, and the reading of its models' skin lists. Names are the bytes
// the system gives (UTF-8 on Windows), relative to the folder, `/`-separated.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/skin_list.h"

namespace fmskins {

struct FolderFiles {
  std::string error;               // why the folder could not be read, as a sentence; or empty
  std::vector<std::string> files;  // every file below it, at any depth, sorted by their bytes
};

// Lists `folder`. A link to a file counts as that file; a link to a folder is not followed
// (it could lead back up), and a folder below that cannot be read fails the whole listing,
// so that no check passes over part of a folder unseen.
FolderFiles list_folder_files(const std::string& folder);

// A model's name: it ends with ".fm" in any case.
bool is_model_name(std::string_view path);

// The sentence for a folder that cannot be read.
std::string folder_error(const std::string& folder, const std::string& reason);

// `folder` and `relative` put together as the system takes a path.
std::string folder_path(const std::string& folder, const std::string& relative);

// The skin list of the model file at `path`, reading only what read_skin_list asks for.
// A file that cannot be opened or read is reported by the FATAL text a run on it would give.
SkinList read_model_skin_list(const std::string& path);

}  // namespace fmskins
