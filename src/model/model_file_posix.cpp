#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

#include "model/model_file_system.h"

namespace fmskins {
namespace {

std::int64_t nanoseconds_of(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The model's mapping, for the bus-error handler to tell its pages from any other address.
std::uint8_t* mapped_start = nullptr;
std::size_t mapped_length = 0;
std::size_t page_size = 4096;
volatile std::sig_atomic_t pages_lost = 0;

// Reading a mapped page that another program cut off the end of the file raises a bus
// error. The lost page is replaced with one of zeros and the read is retried, and the run
// carries on to a check that ends it as a failure: never a death by signal, and nothing made
// from those zeros is written. Any other bus error keeps the default action.
extern "C" void replace_lost_page(int signal_number, siginfo_t* info, void* /*context*/) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const auto start = reinterpret_cast<std::uintptr_t>(mapped_start);
  if (mapped_length != 0 && address >= start && address - start < mapped_length) {
    // The mapping starts on a page boundary, and so does every page counted from it.
    std::uint8_t* const page = mapped_start + ((address - start) & ~(page_size - 1));
    if (mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      pages_lost = 1;
      return;
    }
  }
  (void)std::signal(signal_number, SIG_DFL);  // takes effect as the access is retried
}

void take_status(const struct stat& found, ModelFileStatus& status) {
  status.directory = S_ISDIR(found.st_mode);
  status.mark = {S_ISREG(found.st_mode), static_cast<std::int64_t>(found.st_size),
                 nanoseconds_of(found.st_mtim), nanoseconds_of(found.st_ctim)};
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

int open_model(const std::string& path) {
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
  const long size = sysconf(_SC_PAGESIZE);
  page_size = size > 0 ? static_cast<std::size_t>(size) : page_size;
  mapped_start = static_cast<std::uint8_t*>(mapping);
  mapped_length = length;
  struct sigaction action {};
  action.sa_sigaction = replace_lost_page;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, nullptr) != 0) {
    mapped_length = 0;
    (void)munmap(mapping, length);
    return nullptr;
  }
  return mapped_start;
}

bool mapped_pages_lost() { return pages_lost != 0; }

// Kept, so that the file read can be compared later however it is renamed.
int keep_model_open(int descriptor) { return descriptor; }

bool status_since_read(const ModelImage& model, const std::string& /*path*/,
                       ModelFileStatus& status) {
  return descriptor_status(model.descriptor, status);
}

}  // namespace fmskins
