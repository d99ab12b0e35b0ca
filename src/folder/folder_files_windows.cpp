#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/windows_text.h"
#include "folder/folder_files.h"

namespace fmskins {

FolderFiles list_folder_files(const std::string& folder) {
  namespace fs = std::filesystem;
  FolderFiles listing;
  const fs::path root(widen(folder));
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    listing.error = folder_error(folder, error ? error.message() : "it is not a folder");
    return listing;
  }
  fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    if (walk->is_symlink(error) && walk->is_directory(error)) {
      walk.disable_recursion_pending();
      continue;
    }
    if (walk->is_regular_file(error)) {
      std::string relative = narrow(fs::relative(walk->path(), root, error).generic_wstring());
      listing.files.push_back(std::move(relative));
    }
  }
  if (error) {
    listing.error = folder_error(folder, error.message());
    listing.files.clear();
    return listing;
  }
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}

SkinList read_model_skin_list(const std::string& path) {
  SkinList list;
  std::FILE* file = _wfopen(system_path(path).c_str(), L"rb");
  if (file == nullptr || _fseeki64(file, 0, SEEK_END) != 0) {
    list.fault = "Can't open input model file";
    if (file != nullptr) {
      (void)std::fclose(file);
    }
    return list;
  }
  const long long size = _ftelli64(file);
  list = read_skin_list(size < 0 ? 0 : static_cast<std::uint64_t>(size),
                        [file](std::uint64_t offset, std::span<std::uint8_t> into) {
                          return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0 &&
                                 std::fread(into.data(), 1, into.size(), file) == into.size();
                        });
  (void)std::fclose(file);
  return list;
}

}  // namespace fmskins
