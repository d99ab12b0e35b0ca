#include "folder/folder_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#if defined(_WIN32)
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/windows_text.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "cli/shown_text.h"

namespace fmskins {
namespace {

std::string cannot_read(const std::string& folder, const std::string& reason) {
  return "Can't read folder " + printable_text(folder) + ": " + reason;
}

#if !defined(_WIN32)

std::string reason_of(int error_number) {
  switch (error_number) {
    case ENOTDIR:
      return "it is not a folder";
    case ELOOP:
      return "too many levels of links (a link loop?)";
    default:
      return std::strerror(error_number);
  }
}

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { (void)closedir(directory); }
};

// Adds the files of the folder open as `descriptor` (which this takes over) below `prefix`.
// False, with `error` set, when it or a folder below it cannot be read.
bool add_files(int descriptor, const std::string& shown, const std::string& prefix,
               std::vector<std::string>& files, std::string& error) {
  const std::unique_ptr<DIR, DirectoryCloser> directory(fdopendir(descriptor));
  if (!directory) {
    error = cannot_read(shown, reason_of(errno));
    (void)close(descriptor);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(directory.get());
    if (entry == nullptr) {
      if (errno != 0) {
        error = cannot_read(shown, reason_of(errno));
        return false;
      }
      return true;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat status {};
      if (fstatat(dirfd(directory.get()), entry->d_name, &status, 0) != 0) {
        continue;  // a dangling link, or a name gone meanwhile: no file
      }
      type = S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_UNKNOWN;
      if (type == DT_DIR && entry->d_type == DT_LNK) {
        continue;  // a link to a folder: not followed
      }
    }
    if (type == DT_REG) {
      files.push_back(prefix + name);
    } else if (type == DT_DIR) {
      const int below = openat(dirfd(directory.get()), entry->d_name,
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (below < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
          continue;  // became a link meanwhile: not followed
        }
        error = cannot_read(folder_path(shown, prefix + name), reason_of(errno));
        return false;
      }
      if (!add_files(below, folder_path(shown, prefix + name), prefix + name + "/", files, error)) {
        return false;
      }
    }
  }
}

#endif

}  // namespace

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

#if !defined(_WIN32)

FolderFiles list_folder_files(const std::string& folder) {
  FolderFiles listing;
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    listing.error = cannot_read(folder, reason_of(errno));
    return listing;
  }
  // The prefix grows with each folder below; the shown name only for messages.
  if (!add_files(descriptor, folder, "", listing.files, listing.error)) {
    listing.files.clear();
    return listing;
  }
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}

SkinList read_model_skin_list(const std::string& path) {
  SkinList list;
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status {};
  if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    list.fault = "Can't open input model file";
    if (descriptor >= 0) {
      (void)close(descriptor);
    }
    return list;
  }
  list = read_skin_list(static_cast<std::uint64_t>(status.st_size),
                        [descriptor](std::uint64_t offset, std::span<std::uint8_t> into) {
                          std::size_t done = 0;
                          while (done < into.size()) {
                            const ssize_t got =
                                pread(descriptor, into.data() + done, into.size() - done,
                                      static_cast<off_t>(offset + done));
                            if (got < 0 && errno == EINTR) {
                              continue;
                            }
                            if (got <= 0) {
                              return false;
                            }
                            done += static_cast<std::size_t>(got);
                          }
                          return true;
                        });
  (void)close(descriptor);
  return list;
}

#else

FolderFiles list_folder_files(const std::string& folder) {
  namespace fs = std::filesystem;
  FolderFiles listing;
  const fs::path root(widen(folder));
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    listing.error = cannot_read(folder, error ? error.message() : "it is not a folder");
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
    listing.error = cannot_read(folder, error.message());
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

#endif

}  // namespace fmskins
