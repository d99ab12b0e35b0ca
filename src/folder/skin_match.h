#pragma once

// Whether a mod folder holds the file a stored skin path names. A mod folder mirrors part of
// the game's data tree from some level, so a path is found where it is the end of some
// file's path in the folder, component for component: `mymod/models/mymod/skin.m8` serves
// `models/mymod/skin.m8`. Bytes only: nothing here touches a file, and names are compared as
// the bytes they are, whatever the system's encoding.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fmskins {

// How a stored path was found, best first.
enum class SkinFound {
  yes,          // a file ends with exactly these bytes
  other_case,   // only a file whose name differs in ASCII case (loads on Windows only)
  backslashes,  // only once `\` is read as `/` (the game will not load it so)
  no,           // not in this folder: a hint, not an error
};

// The files of a mod folder: their paths relative to it, `/`-separated, looked up by the
// last component in ASCII lower case.
struct FolderIndex {
  std::vector<std::string> files;
  std::unordered_map<std::string, std::vector<std::size_t>> by_last_name;
};

struct SkinMatch {
  SkinFound found = SkinFound::no;
  std::size_t file = 0;  // into FolderIndex::files, unless `found` is no
};

FolderIndex make_folder_index(std::vector<std::string> files);

// Looks the stored path up: exactly, then in any ASCII case, then with backslashes read as
// slashes (exactly, then in any case). Leading slashes name the data tree's root and are
// passed over. Of several files that serve a path, the first in `files` is named.
SkinMatch find_skin(const FolderIndex& folder, std::string_view stored);

// The text the report uses for `found`: "yes", "other case", "backslashes" or "no".
const char* found_text(SkinFound found);

// The files that look like skins, since their extension (in any case) is that of some path
// in `stored`, and that no path in `stored` finds in any of the ways above, in the order of
// `files`.
std::vector<std::size_t> unused_skin_files(const FolderIndex& folder,
                                           const std::vector<std::string>& stored);

}  // namespace fmskins
