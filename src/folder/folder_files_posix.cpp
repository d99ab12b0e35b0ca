#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "folder/folder_files.h"

namespace fmskins {
namespace {

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
    error = folder_error(shown, reason_of(errno));
    (void)close(descriptor);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(directory.get());
    if (entry == nullptr) {
      if (errno != 0) {
        error = folder_error(shown, reason_of(errno));
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
        error = folder_error(folder_path(shown, prefix + name), reason_of(errno));
        return false;
      }
      if (!add_files(below, folder_path(shown, prefix + name), prefix + name + "/", files, error)) {
        return false;
      }
    }
  }
}

}  // namespace

FolderFiles list_folder_files(const std::string& folder) {
  FolderFiles listing;
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    listing.error = folder_error(folder, reason_of(errno));
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

}  // namespace fmskins
