#pragma once

// Builds model files for the tests, chunk by chunk, so that every model a test uses is
// made here and its layout can be read from the test itself.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fmskins::test {

// Four little-endian bytes.
std::string le32(std::int32_t value);

// A chunk: identifier padded with NULs to 32 bytes (a 32-byte identifier is taken as it
// is), version, and a size field that states `data`'s length.
std::string chunk(std::string_view identifier, std::int32_t version, std::string_view data);

// The same with any size field, for chunks whose size lies.
std::string chunk_with_size(std::string_view identifier, std::int32_t version,
                            std::int32_t size_field, std::string_view data);

// A header chunk (version 2): ten 32-bit fields, the fourth the skin count; the others
// hold recognisable values that must pass through unchanged.
std::string header_chunk(std::int32_t skin_count);

// One 64-byte skin entry: the path, then NULs (the path is taken as it is, up to 64 bytes).
std::string skin_entry(std::string_view path);

// A skin chunk (version 1) holding one entry per path.
std::string skin_chunk(const std::vector<std::string>& paths);

// A chunk of a known kind other than header and skin, with `size` bytes of varied data.
std::string plain_chunk(std::string_view identifier, std::int32_t version, std::size_t size);

// The usual well-formed model: header, skin chunk with `paths`, then st coord and frames.
std::string sample_model(const std::vector<std::string>& paths);

// Reads or patches a little-endian 32-bit field of a model held in a string.
std::int32_t field_at(const std::string& model, std::size_t offset);

}  // namespace fmskins::test

namespace fmskins::test {

// The model shipped as examples/sample.fm: a header, a skin chunk with three paths, and
// st coord, tris and frames chunks.
std::string bundled_sample_model();

}  // namespace fmskins::test
