#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cli/command_line.h"
#include "model/byte_buffer.h"

namespace fmskins {

// The input model file, all of its bytes.
struct ModelImage {
  ByteBuffer bytes;
  std::size_t length = 0;
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

// Walks the chunks of `model` from first to last: prints and checks each, copies each to
// `output` (absent in list mode) and hands the skin chunk to the skin editing. Any fault
// in the model ends the run through fatal().
void walk_model(std::span<const std::uint8_t> model, const RunOptions& options,
                OutputImage* output);

// The whole run after the command line: load the model, walk it and, outside list mode,
// write the result to the output path. Returns only on success.
void run_model_pass(const RunOptions& options);

}  // namespace fmskins
