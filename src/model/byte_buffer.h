#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace fmskins {

// Releases a buffer made by allocate_bytes, whichever way it was obtained.
struct ByteBufferRelease {
  std::size_t mapped_size = 0;  // non-zero when the buffer is an anonymous mapping
  void operator()(std::uint8_t* bytes) const noexcept;
};

using ByteBuffer = std::unique_ptr<std::uint8_t[], ByteBufferRelease>;

// A buffer of `size` uninitialised bytes, or an empty pointer when no memory can be had.
// A zero size still yields a buffer. Large buffers are mapped and, where the system
// offers it, backed by huge pages: a model that cannot be mapped is read whole into one,
// and faulting it in 4 KiB at a time would cost more than the reading.
ByteBuffer allocate_bytes(std::size_t size);

}  // namespace fmskins
