#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/byte_buffer.h"

namespace fmskins {

// What was seen of a regular model file when it was read, to tell afterwards whether
// another program changed it meanwhile.
struct FileMark {
  bool regular = false;  // only a regular file is compared
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;  // status change time, where the system keeps one
};

// The input model file, all of its bytes.
struct ModelImage {
  ByteBuffer bytes;
  std::size_t length = 0;
  int descriptor = -1;  // the model file, kept open to the end of the run where allowed
  FileMark mark;        // the model file as it was read
};

// The image of the file to be written. Its capacity is fixed when it is made; bytes are
// appended at the end, and only the skin editing cuts the length back or patches fields.
struct OutputImage {
  ByteBuffer bytes;
  std::size_t capacity = 0;
  std::size_t length = 0;  // bytes placed so far; at the end, the size of the file written
};

std::span<const std::uint8_t> model_bytes(const ModelImage& model);
std::span<std::uint8_t> output_bytes(OutputImage& output);  // the `length` bytes placed

// Makes an output image of `capacity` bytes; ends the run when no memory can be had.
OutputImage make_output_image(std::size_t capacity);

// Appends `bytes` at the end. Going past the capacity would be a fault of the tool, not of
// the model, and is stopped here rather than written out of bounds.
void output_append(OutputImage& output, std::span<const std::uint8_t> bytes);

}  // namespace fmskins
