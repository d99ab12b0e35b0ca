#include "support/tool_runner.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fmskins::test {
namespace fs = std::filesystem;

namespace {

void snapshot_into(const fs::path& root, const fs::path& dir,
                   std::map<std::string, std::string>& entries) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::u8string name_text = entry.path().lexically_relative(root).generic_u8string();
    const std::string name(name_text.begin(), name_text.end());
    const fs::file_status status = fs::symlink_status(entry.path());
    if (fs::is_symlink(status)) {
      entries[name] = "symlink -> " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      entries[name] = "dir";
      snapshot_into(root, entry.path(), entries);
    } else if (fs::is_regular_file(status)) {
      entries[name] = read_file(entry.path());
    } else {
      entries[name] = "special";
    }
  }
}

}  // namespace

fs::path utf8_path(std::string_view text) { return {std::u8string(text.begin(), text.end())}; }

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  snapshot_into(dir, dir, entries);
  return entries;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace fmskins::test
