#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "cli/command_line.h"
#include "model/model_image.h"

namespace fmskins {

// The skin count as the walk found it in the last header chunk before the skin chunk.
struct SkinCount {
  bool found = false;            // false when no header chunk came before the skin chunk
  std::int32_t value = 0;        // as stored; may be negative in a damaged model
  std::size_t field_offset = 0;  // where the count lies in the model, and so in the output:
                                 // every byte before the skin chunk is copied unchanged
};

// Lists the stored skin paths and, outside list mode, replaces or extends them in the
// copy of the skin chunk that ends `output`. `chunk_data` is the chunk's data in the
// model; `output` is absent in list mode. The count, the paths listed and the warnings go to
// `outline` too, where it is given.
void edit_skin_chunk(std::span<const std::uint8_t> chunk_data, const SkinCount& count,
                     const RunOptions& options, OutputImage* output, std::FILE* outline);

}  // namespace fmskins
