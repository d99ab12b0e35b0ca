#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fmskins {

// A chunk is a 40-byte header (32-byte NUL-padded identifier, version, size) followed by
// `size` data bytes. All integers are little-endian.
inline constexpr std::size_t chunk_header_size = 40;
inline constexpr std::size_t chunk_identifier_size = 32;
inline constexpr std::size_t chunk_version_offset = 32;
inline constexpr std::size_t chunk_size_offset = 36;

// The header chunk's data starts with ten 32-bit integers; the fourth is the skin count.
inline constexpr std::size_t header_skin_count_offset = 12;
inline constexpr std::size_t header_min_data_size = header_skin_count_offset + 4;

// Each skin entry is a NUL-terminated, NUL-padded path of at most 63 bytes.
inline constexpr std::size_t skin_entry_size = 64;
inline constexpr std::size_t skin_path_max_length = skin_entry_size - 1;

struct ChunkHeader {
  std::string identifier;  // the stored bytes up to the first NUL, at most 31 of them
  std::int32_t version = 0;
  std::int32_t size = 0;  // data bytes after the header; may be zero or negative in bad files
};

enum class ChunkRole { header, skin, plain };

// One row of the table of chunk kinds the tool knows.
struct ChunkKind {
  std::string_view identifier;
  std::int32_t version;          // the one version accepted
  std::string_view bad_version;  // the FATAL message for any other version
  ChunkRole role;
};

// Decodes a little-endian 32-bit field; the caller guarantees offset + 4 <= image.size().
std::int32_t read_le32(std::span<const std::uint8_t> image, std::size_t offset);
void write_le32(std::span<std::uint8_t> image, std::size_t offset, std::int32_t value);

// Decodes the chunk header at `offset`; the caller guarantees 40 bytes are there.
ChunkHeader read_chunk_header(std::span<const std::uint8_t> image, std::size_t offset);

// The table row for `identifier` (exact, case-sensitive), or nullptr for an unknown one.
const ChunkKind* find_chunk_kind(std::string_view identifier);

// The FATAL text for a model whose bytes after the last whole chunk are too few for a header.
inline constexpr const char* chunk_too_big = "Invalid (too big) chunk size in model";

// The FATAL text for the chunk `header` (of table row `kind`, or nullptr for an unknown one)
// found with `remaining` bytes of the model from its start, or nullptr when the chunk can be
// read: a size that is not positive or runs past the end, a version other than the one
// accepted, a header chunk too small to hold the skin count. The data is then all there.
const char* chunk_fault(const ChunkHeader& header, const ChunkKind* kind, std::uint64_t remaining);

// The text of a stored skin entry: its bytes up to the first NUL, at most 63 of them.
std::string_view skin_entry_text(std::span<const std::uint8_t> entry);

}  // namespace fmskins
