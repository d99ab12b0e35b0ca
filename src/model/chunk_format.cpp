#include "model/chunk_format.h"

#include <algorithm>
#include <array>
#include <cassert>

namespace fmskins {
namespace {

constexpr std::array<ChunkKind, 9> chunk_kinds{{
    {"header", 2, "Invalid HEADER chunk version number", ChunkRole::header},
    {"skin", 1, "Invalid SKIN chunk version number", ChunkRole::skin},
    {"st coord", 1, "Invalid ST COORD chunk version number", ChunkRole::plain},
    {"tris", 1, "Invalid TRIS chunk version number", ChunkRole::plain},
    {"frames", 1, "Invalid FRAMES chunk version number", ChunkRole::plain},
    {"glcmds", 1, "Invalid GLCMDS chunk version number", ChunkRole::plain},
    {"mesh nodes", 3, "Invalid MESH NODES chunk version number", ChunkRole::plain},
    {"skeleton", 1, "Invalid SKELETON chunk version number", ChunkRole::plain},
    {"references", 1, "Invalid REFERENCES chunk version number", ChunkRole::plain},
}};

// The text of a NUL-padded field: bytes up to the first NUL, never more than `limit`.
std::string_view padded_text(std::span<const std::uint8_t> field, std::size_t limit) {
  const std::span<const std::uint8_t> candidates = field.first(std::min(field.size(), limit));
  const auto end = std::find(candidates.begin(), candidates.end(), std::uint8_t{0});
  const auto length = static_cast<std::size_t>(end - candidates.begin());
  // Bytes are read as 8-bit characters.
  return {reinterpret_cast<const char*>(candidates.data()), length};
}

}  // namespace

std::int32_t read_le32(std::span<const std::uint8_t> image, std::size_t offset) {
  assert(offset <= image.size() && image.size() - offset >= 4);
  const std::uint32_t value =
      std::uint32_t{image[offset]} | (std::uint32_t{image[offset + 1]} << 8U) |
      (std::uint32_t{image[offset + 2]} << 16U) | (std::uint32_t{image[offset + 3]} << 24U);
  return static_cast<std::int32_t>(value);  // two's complement, as stored
}

void write_le32(std::span<std::uint8_t> image, std::size_t offset, std::int32_t value) {
  assert(offset <= image.size() && image.size() - offset >= 4);
  const auto bits = static_cast<std::uint32_t>(value);
  image[offset] = static_cast<std::uint8_t>(bits & 0xFFU);
  image[offset + 1] = static_cast<std::uint8_t>((bits >> 8U) & 0xFFU);
  image[offset + 2] = static_cast<std::uint8_t>((bits >> 16U) & 0xFFU);
  image[offset + 3] = static_cast<std::uint8_t>((bits >> 24U) & 0xFFU);
}

ChunkHeader read_chunk_header(std::span<const std::uint8_t> image, std::size_t offset) {
  assert(offset <= image.size() && image.size() - offset >= chunk_header_size);
  ChunkHeader header;
  // The 32nd byte is never part of the identifier, so it always has a terminator.
  header.identifier = std::string(
      padded_text(image.subspan(offset, chunk_identifier_size), chunk_identifier_size - 1));
  header.version = read_le32(image, offset + chunk_version_offset);
  header.size = read_le32(image, offset + chunk_size_offset);
  return header;
}

const ChunkKind* find_chunk_kind(std::string_view identifier) {
  for (const ChunkKind& kind : chunk_kinds) {
    if (kind.identifier == identifier) {
      return &kind;
    }
  }
  return nullptr;
}

const char* chunk_fault(const ChunkHeader& header, const ChunkKind* kind, std::uint64_t remaining) {
  if (header.size <= 0) {
    return "Invalid (<=0) chunk size in model";
  }
  // The size is below 2^31 here, and the header is there, so neither side can wrap.
  if (static_cast<std::uint64_t>(header.size) > remaining - chunk_header_size) {
    return chunk_too_big;
  }
  if (kind == nullptr) {
    return nullptr;
  }
  if (header.version != kind->version) {
    return kind->bad_version.data();
  }
  if (kind->role == ChunkRole::header &&
      static_cast<std::size_t>(header.size) < header_min_data_size) {
    return "Invalid (too small) HEADER chunk size in model";
  }
  return nullptr;
}

std::string_view skin_entry_text(std::span<const std::uint8_t> entry) {
  return padded_text(entry, skin_path_max_length);
}

}  // namespace fmskins
