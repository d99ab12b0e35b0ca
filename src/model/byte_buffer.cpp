#include "model/byte_buffer.h"

#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fmskins {
namespace {

#if defined(__linux__)
constexpr std::size_t mapping_threshold = std::size_t{4} << 20U;
#endif

}  // namespace

void ByteBufferRelease::operator()(std::uint8_t* bytes) const noexcept {
  if (bytes == nullptr) {
    return;
  }
#if defined(__linux__)
  if (mapped_size != 0) {
    munmap(bytes, mapped_size);
    return;
  }
#endif
  std::free(bytes);
}

ByteBuffer allocate_bytes(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    return ByteBuffer(nullptr, ByteBufferRelease{});
  }
#if defined(__linux__)
  if (size >= mapping_threshold) {
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
      return ByteBuffer(nullptr, ByteBufferRelease{});
    }
    // Advice only: without huge pages the buffer works the same, just slower to fill.
    madvise(mapping, size, MADV_HUGEPAGE);
    return ByteBuffer(static_cast<std::uint8_t*>(mapping), ByteBufferRelease{size});
  }
#endif
  return ByteBuffer(static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size)),
                    ByteBufferRelease{});
}

}  // namespace fmskins
