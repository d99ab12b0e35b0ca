#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Why the game will likely not load `path`, a path being put in a skin list, or why it was
// probably not meant as a path, as the reasons the tool's warnings give ("contains a
// backslash; game paths use forward slashes"): none when it looks sound. `stored` is its
// stored form, by which a repeat of one of the `earlier` entries of the list is judged.
std::vector<const char*> skin_path_warnings(std::string_view path, std::string_view stored,
                                            const std::vector<std::string>& earlier);

// Lists the stored skin paths and, outside list mode, replaces or extends them in the
// copy of the skin chunk that ends `output`. `chunk_data` is the chunk's data in the
// model; `output` is absent in list mode. The count, the paths listed and the warnings go to
// `outline` too, where it is given.
void edit_skin_chunk(std::span<const std::uint8_t> chunk_data, const SkinCount& count,
                     const RunOptions& options, OutputImage* output, std::FILE* outline);

}  // namespace fmskins
