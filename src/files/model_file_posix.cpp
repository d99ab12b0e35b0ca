#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "files/model_file_system.h"
#include "files/signal_guard.h"

namespace fmskins {
namespace {

std::int64_t nanoseconds_of(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

void take_status(const struct stat& found, ModelFileStatus& status) {
  status.directory = S_ISDIR(found.st_mode);
  status.mark = {S_ISREG(found.st_mode),
                 static_cast<std::int64_t>(found.st_size),
                 nanoseconds_of(found.st_mtim),
                 nanoseconds_of(found.st_ctim),
                 static_cast<std::uint64_t>(found.st_nlink),
                 found.st_mode,
                 found.st_uid,
                 found.st_gid};
}

}  // namespace

bool path_status(const std::string& path, ModelFileStatus& status) {
  struct stat found {};
  if (stat(path.c_str(), &found) != 0) {
    return false;
  }
  take_status(found, status);
  return true;
}

// Writers are watched for with a lease instead (keep_writers_out).
int open_model(const std::string& path, bool /*shut_out_writers*/) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

bool descriptor_status(int descriptor, ModelFileStatus& status) {
  struct stat found {};
  if (fstat(descriptor, &found) != 0) {
    return false;
  }
  take_status(found, status);
  return true;
}

std::int64_t seek_model(int descriptor, std::int64_t offset, int whence) {
  return lseek(descriptor, static_cast<off_t>(offset), whence);
}

std::int64_t read_model_some(int descriptor, std::uint8_t* bytes, std::size_t count) {
  return read(descriptor, bytes, count);
}

std::uint8_t* map_model(int descriptor, std::size_t length) {
  if (length == 0) {
    return nullptr;  // nothing to map, and the system refuses to
  }
  void* const mapping = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, 0);
  if (mapping == MAP_FAILED) {
    return nullptr;
  }
  // A page that another program cuts off the file meanwhile must fail the run, not end it.
  if (!watch_model_mapping(static_cast<std::uint8_t*>(mapping), length)) {
    (void)munmap(mapping, length);
    return nullptr;
  }
  return static_cast<std::uint8_t*>(mapping);
}

bool keep_writers_out(int descriptor) { return lease_model(descriptor); }

bool writers_watched() { return model_leased(); }

bool written_while_watched() { return model_lease_broken(); }

// Kept, so that the file read can be compared later however it is renamed.
int keep_model_open(int descriptor) { return descriptor; }

bool status_since_read(const ModelImage& model, const std::string& /*path*/,
                       ModelFileStatus& status) {
  return descriptor_status(model.descriptor, status);
}

}  // namespace fmskins
