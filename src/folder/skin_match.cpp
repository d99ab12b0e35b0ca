#include "folder/skin_match.h"

#include <algorithm>
#include <unordered_set>

namespace fmskins {
namespace {

char lower(char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : byte; }

std::string lowered(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), lower);
  return result;
}

bool same_bytes(std::string_view one, std::string_view other, bool any_case) {
  if (!any_case) {
    return one == other;
  }
  return one.size() == other.size() &&
         std::equal(one.begin(), one.end(), other.begin(),
                    [](char a, char b) { return lower(a) == lower(b); });
}

std::string_view last_name(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// True when `file` ends with `path`, component for component: the whole file, or its part
// after a slash.
bool ends_with_components(std::string_view file, std::string_view path, bool any_case) {
  if (path.empty() || file.size() < path.size()) {
    return false;
  }
  const std::size_t start = file.size() - path.size();
  return (start == 0 || file[start - 1] == '/') && same_bytes(file.substr(start), path, any_case);
}

// The first file that `path` names, exactly or in any case, or none.
bool look_up(const FolderIndex& folder, std::string_view path, bool any_case, std::size_t& file) {
  const auto candidates = folder.by_last_name.find(lowered(last_name(path)));
  if (candidates == folder.by_last_name.end()) {
    return false;
  }
  for (const std::size_t each : candidates->second) {
    if (ends_with_components(folder.files[each], path, any_case)) {
      file = each;
      return true;
    }
  }
  return false;
}

std::string_view extension_of(std::string_view path) {
  const std::string_view name = last_name(path);
  const std::size_t dot = name.find_last_of('.');
  return dot == std::string_view::npos || dot == 0 ? std::string_view{} : name.substr(dot);
}

}  // namespace

FolderIndex make_folder_index(std::vector<std::string> files) {
  FolderIndex folder;
  folder.files = std::move(files);
  for (std::size_t each = 0; each < folder.files.size(); ++each) {
    folder.by_last_name[lowered(last_name(folder.files[each]))].push_back(each);
  }
  return folder;
}

SkinMatch find_skin(const FolderIndex& folder, std::string_view stored) {
  const std::size_t first = stored.find_first_not_of('/');
  const std::string_view path = first == std::string_view::npos ? "" : stored.substr(first);
  SkinMatch match;
  if (look_up(folder, path, false, match.file)) {
    match.found = SkinFound::yes;
  } else if (look_up(folder, path, true, match.file)) {
    match.found = SkinFound::other_case;
  } else if (path.find('\\') != std::string_view::npos) {
    std::string slashed(path);
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    const std::size_t start = slashed.find_first_not_of('/');
    const std::string_view from_root =
        start == std::string::npos ? "" : std::string_view(slashed).substr(start);
    if (look_up(folder, from_root, false, match.file) ||
        look_up(folder, from_root, true, match.file)) {
      match.found = SkinFound::backslashes;
    }
  }
  return match;
}

const char* found_text(SkinFound found) {
  switch (found) {
    case SkinFound::yes:
      return "yes";
    case SkinFound::other_case:
      return "other case";
    case SkinFound::backslashes:
      return "backslashes";
    case SkinFound::no:
      break;
  }
  return "no";
}

std::vector<std::size_t> unused_skin_files(const FolderIndex& folder,
                                           const std::vector<std::string>& stored) {
  std::unordered_set<std::string> extensions;
  std::vector<bool> used(folder.files.size(), false);
  // Every file a path serves counts, not only the first: each way of finding it takes any
  // case, and the path is tried as stored and with its backslashes read as slashes.
  const auto mark = [&](std::string_view path) {
    path.remove_prefix(std::min(path.size(), path.find_first_not_of('/')));
    const auto candidates = folder.by_last_name.find(lowered(last_name(path)));
    if (candidates != folder.by_last_name.end()) {
      for (const std::size_t each : candidates->second) {
        used[each] = used[each] || ends_with_components(folder.files[each], path, true);
      }
    }
  };
  for (const std::string& path : stored) {
    std::string slashed = path;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    if (const std::string_view extension = extension_of(slashed); !extension.empty()) {
      extensions.insert(lowered(extension));
    }
    mark(path);
    mark(slashed);
  }
  std::vector<std::size_t> unused;
  for (std::size_t each = 0; each < folder.files.size(); ++each) {
    if (!used[each] && extensions.contains(lowered(extension_of(folder.files[each])))) {
      unused.push_back(each);
    }
  }
  return unused;
}

}  // namespace fmskins
