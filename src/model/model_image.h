#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/byte_buffer.h"

namespace fmskins {

// What was seen of a regular model file when it was read, to tell afterwards whether
// another program changed it meanwhile.
struct FileMark {
  bool regular = false;  // only a regular file is compared
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;  // status change time, where the system keeps one
  std::uint64_t links = 0;      // names the file has
  std::uint32_t mode = 0;       // type and permission bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

// The input model file, all of its bytes: the file itself mapped read-only where the system
// allows, so that only the pages looked at are ever read, or else a copy read into memory.
struct ModelImage {
  ByteBuffer bytes;
  std::size_t length = 0;
  bool mapped = false;  // `bytes` is the file mapped: its ranges can be copied from `descriptor`
  int descriptor = -1;  // the model file, kept open to the end of the run where allowed
  FileMark mark;        // the model file as it was read
};

// One stretch of the output: a range of the model image, or of the bytes the tool made.
struct OutputPiece {
  bool from_model = true;
  std::size_t offset = 0;  // into the model image, or into OutputImage::bytes
  std::size_t count = 0;
};

// The file to be written, as pieces in order. Unchanged bytes are ranges of the model
// image, never copied; only the bytes the tool makes itself (new skin entries, patched size
// and count fields) are held, in `bytes`, whose capacity is fixed when the image is made.
struct OutputImage {
  ByteBuffer bytes;
  std::size_t capacity = 0;
  std::size_t made = 0;    // bytes of `bytes` in use
  std::size_t length = 0;  // bytes placed so far; at the end, the size of the file written
  std::vector<OutputPiece> pieces;
};

std::span<const std::uint8_t> model_bytes(const ModelImage& model);

// The bytes of one piece of `output`, whose model ranges lie in `model`.
std::span<const std::uint8_t> piece_bytes(const OutputImage& output,
                                          std::span<const std::uint8_t> model,
                                          const OutputPiece& piece);

// Makes an output image that can hold `capacity` bytes of the tool's own; ends the run when
// no memory can be had.
OutputImage make_output_image(std::size_t capacity);

// Appends `bytes`, made by the tool, at the end. Going past the capacity would be a fault of
// the tool, not of the model, and is stopped here rather than written out of bounds.
void output_append(OutputImage& output, std::span<const std::uint8_t> bytes);

// Appends `count` bytes of the model image from `offset` at the end.
void output_append_model(OutputImage& output, std::size_t offset, std::size_t count);

// Drops the last `count` bytes placed.
void output_cut_back(OutputImage& output, std::size_t count);

// Sets the bytes placed at `position` to `bytes`, which the tool made: a field of a copied
// range is patched without copying the range.
void output_patch(OutputImage& output, std::size_t position, std::span<const std::uint8_t> bytes);

}  // namespace fmskins
