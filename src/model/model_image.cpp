#include "model/model_image.h"

#include <algorithm>

#include "cli/fatal.h"

namespace fmskins {
namespace {

[[noreturn]] void outgrew_buffer() {
  fatal("Internal error: modified model outgrew its buffer", -1);
}

// Copies `bytes` into the made bytes and returns the piece that holds them there.
OutputPiece make_piece(OutputImage& output, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > output.capacity - output.made) {
    outgrew_buffer();
  }
  if (!bytes.empty()) {
    std::copy(bytes.begin(), bytes.end(), output.bytes.get() + output.made);
  }
  const OutputPiece piece{false, output.made, bytes.size()};
  output.made += bytes.size();
  return piece;
}

// Appends a piece, joining it to the last one where it continues it, so that a run of
// unchanged chunks is copied as one range.
void place(OutputImage& output, const OutputPiece& piece) {
  if (piece.count == 0) {
    return;
  }
  if (!output.pieces.empty()) {
    OutputPiece& last = output.pieces.back();
    if (last.from_model == piece.from_model && last.offset + last.count == piece.offset) {
      last.count += piece.count;
      output.length += piece.count;
      return;
    }
  }
  output.pieces.push_back(piece);
  output.length += piece.count;
}

}  // namespace

std::span<const std::uint8_t> model_bytes(const ModelImage& model) {
  return {model.bytes.get(), model.length};
}

std::span<const std::uint8_t> piece_bytes(const OutputImage& output,
                                          std::span<const std::uint8_t> model,
                                          const OutputPiece& piece) {
  if (piece.from_model) {
    return model.subspan(piece.offset, piece.count);
  }
  return {output.bytes.get() + piece.offset, piece.count};
}

OutputImage make_output_image(std::size_t capacity) {
  OutputImage output;
  output.bytes = allocate_bytes(capacity);
  if (!output.bytes) {
    fatal("Can't allocate memory for modified model", -1);
  }
  output.capacity = capacity;
  return output;
}

void output_append(OutputImage& output, std::span<const std::uint8_t> bytes) {
  place(output, make_piece(output, bytes));
}

void output_append_model(OutputImage& output, std::size_t offset, std::size_t count) {
  place(output, {true, offset, count});
}

void output_cut_back(OutputImage& output, std::size_t count) {
  if (count > output.length) {
    outgrew_buffer();
  }
  output.length -= count;
  while (count > 0) {
    OutputPiece& last = output.pieces.back();
    const std::size_t dropped = std::min(count, last.count);
    last.count -= dropped;
    count -= dropped;
    if (last.count == 0) {
      output.pieces.pop_back();
    }
  }
}

void output_patch(OutputImage& output, std::size_t position, std::span<const std::uint8_t> bytes) {
  std::size_t start = 0;
  for (auto piece = output.pieces.begin(); piece != output.pieces.end(); ++piece) {
    if (position >= start + piece->count) {
      start += piece->count;
      continue;
    }
    const std::size_t into = position - start;
    if (bytes.size() > piece->count - into) {
      break;  // a field spans two pieces only through a fault of the tool
    }
    if (!piece->from_model) {
      std::copy(bytes.begin(), bytes.end(), output.bytes.get() + piece->offset + into);
      return;
    }
    // The model range is split around the field: before it, the new bytes, after it.
    const OutputPiece before{true, piece->offset, into};
    const OutputPiece after{true, piece->offset + into + bytes.size(),
                            piece->count - into - bytes.size()};
    const OutputPiece patched = make_piece(output, bytes);
    std::vector<OutputPiece> parts;
    for (const OutputPiece& part : {before, patched, after}) {
      if (part.count > 0) {
        parts.push_back(part);
      }
    }
    const auto at = output.pieces.erase(piece);
    output.pieces.insert(at, parts.begin(), parts.end());
    return;
  }
  outgrew_buffer();
}

}  // namespace fmskins
