#include "model/skin_list.h"

#include <algorithm>

#include "cli/shown_text.h"

namespace fmskins {

SkinList read_skin_list(std::uint64_t size, const ModelReader& read) {
  SkinList list;
  std::uint64_t offset = 0;
  bool further_skin = false;
  std::uint64_t skin_size = 0;
  std::array<std::uint8_t, chunk_header_size> header_bytes{};
  while (offset < size) {
    const std::uint64_t remaining = size - offset;
    if (remaining < chunk_header_size) {
      list.fault = chunk_too_big;
      return list;
    }
    if (!read(offset, header_bytes)) {
      list.fault = "Can't read input model file";
      return list;
    }
    const ChunkHeader header = read_chunk_header(header_bytes, 0);
    const ChunkKind* kind = find_chunk_kind(header.identifier);
    if (const char* fault = chunk_fault(header, kind, remaining)) {
      list.fault = fault;
      return list;
    }
    const auto data_size = static_cast<std::uint64_t>(header.size);
    const std::uint64_t data = offset + chunk_header_size;
    if (kind == nullptr) {
      list.warnings.push_back("Unrecognized chunk identifier: " +
                              printable_text(stored_text_for_report(header.identifier)));
    } else if (kind->role == ChunkRole::header && !list.skin_chunk) {
      // The count the edit uses is the last one before the skin chunk.
      std::array<std::uint8_t, 4> field{};
      if (!read(data + header_skin_count_offset, field)) {
        list.fault = "Can't read input model file";
        return list;
      }
      list.count_found = true;
      list.count = read_le32(field, 0);
    } else if (kind->role == ChunkRole::skin && list.skin_chunk) {
      further_skin = true;
    } else if (kind->role == ChunkRole::skin) {
      list.skin_chunk = true;
      // As the listing: the entries the count names, never more than the chunk holds, and
      // every whole entry when no header came first.
      const std::uint64_t held = data_size / skin_entry_size;
      std::uint64_t listed = held;
      if (list.count_found) {
        listed = list.count <= 0 ? 0 : std::min(held, static_cast<std::uint64_t>(list.count));
      }
      list.count_matches = list.count_found && list.count >= 0 &&
                           static_cast<std::uint64_t>(list.count) * skin_entry_size == data_size;
      list.first_entry = data;
      skin_size = data_size;
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(listed) * skin_entry_size);
      if (!bytes.empty() && !read(data, bytes)) {
        list.fault = "Can't read input model file";
        return list;
      }
      list.entries.resize(static_cast<std::size_t>(listed));
      for (std::size_t entry = 0; entry < list.entries.size(); ++entry) {
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(entry * skin_entry_size),
                    skin_entry_size, list.entries[entry].begin());
      }
    }
    offset = data + data_size;
  }
  if (further_skin) {
    list.warnings.push_back("Further SKIN chunk left unchanged");
  }
  if (list.skin_chunk && !list.count_found) {
    list.warnings.push_back("SKIN chunk comes before any HEADER chunk");
  } else if (list.skin_chunk && !list.count_matches) {
    list.warnings.push_back("Skin count " + std::to_string(list.count) +
                            " does not match SKIN chunk size " + std::to_string(skin_size));
  }
  return list;
}

ModelReader bytes_reader(std::span<const std::uint8_t> model) {
  return [model](std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset > model.size() || model.size() - offset < into.size()) {
      return false;
    }
    std::copy_n(model.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    return true;
  };
}

}  // namespace fmskins
