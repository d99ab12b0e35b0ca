#include "folder/folder_files.h"

#include "cli/shown_text.h"

namespace fmskins {

std::string folder_error(const std::string& folder, const std::string& reason) {
  return "Can't read folder " + printable_text(folder) + ": " + reason;
}

bool is_model_name(std::string_view path) {
  return path.size() >= 3 && path[path.size() - 3] == '.' &&
         (path[path.size() - 2] == 'f' || path[path.size() - 2] == 'F') &&
         (path.back() == 'm' || path.back() == 'M');
}

std::string folder_path(const std::string& folder, const std::string& relative) {
  if (folder.empty() || folder.back() == '/'
#if defined(_WIN32)
      || folder.back() == '\\'
#endif
  ) {
    return folder + relative;
  }
  return folder + "/" + relative;
}

}  // namespace fmskins
