#pragma once

// A model's skin list as a listing finds it, read chunk by chunk through a reader, so that a
// caller holding many models reads only the chunk headers and the header and skin chunks of
// each, never a whole model. The same checks as the walk: a model that the walk would end
// the run on is reported by the same FATAL text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "model/chunk_format.h"

namespace fmskins {

// Fills `into` with the model's bytes at `offset`; false when they could not be read.
using ModelReader = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

using SkinEntry = std::array<std::uint8_t, skin_entry_size>;

struct SkinList {
  std::string fault;               // the FATAL text of a model that cannot be read; empty when read
  bool skin_chunk = false;         // a skin chunk was found (the first one is listed)
  bool count_found = false;        // a header chunk came before it
  std::int32_t count = 0;          // the skin count that header holds
  bool count_matches = false;      // count × 64 is the skin chunk's size
  std::uint64_t first_entry = 0;   // where the listed entries start in the model
  std::vector<SkinEntry> entries;  // the entries listed, all 64 stored bytes of each
  std::vector<std::string> warnings;  // the listing's warnings about the model, as printed
};

// Reads the skin list of the `size`-byte model that `read` reads. A read that fails is
// reported as "Can't read input model file".
SkinList read_skin_list(std::uint64_t size, const ModelReader& read);

// A reader of bytes already in memory.
ModelReader bytes_reader(std::span<const std::uint8_t> model);

}  // namespace fmskins
