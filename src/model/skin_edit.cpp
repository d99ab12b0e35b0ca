#include "model/skin_edit.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "cli/fatal.h"
#include "model/chunk_format.h"

namespace fmskins {
namespace {

// The size field of the copied skin chunk, `data_size` bytes back from the end of output.
std::size_t copied_size_field(const OutputImage& output, std::size_t data_size) {
  return output.length - data_size - chunk_header_size + chunk_size_offset;
}

// Refuses a path that does not fit an entry: a cut path would name a skin that does not
// exist. Checked for all paths before any is added, so a refused run changes nothing.
void check_skin_paths(const RunOptions& options) {
  for (const std::string& path : options.skin_paths) {
    if (path.size() > skin_path_max_length) {
      fatal("Skin path longer than 63 characters: " + printable_text(path), -1);
    }
  }
}

}  // namespace

void edit_skin_chunk(std::span<const std::uint8_t> chunk_data, const SkinCount& count,
                     const RunOptions& options, OutputImage* output) {
  const RunMode mode = run_mode(options);
  std::printf(mode == RunMode::replace ? "    Deleting current skin paths:\n"
                                       : "    Current skin paths are:\n");

  // List the entries the count names, but never more than the chunk holds. Without a
  // header before it, the count is unknown and every whole entry is shown.
  const std::size_t entries_held = chunk_data.size() / skin_entry_size;
  std::size_t listed = entries_held;
  if (count.found) {
    listed = count.value <= 0 ? 0 : std::min(entries_held, static_cast<std::size_t>(count.value));
  }
  for (std::size_t entry = 0; entry < listed; ++entry) {
    const std::string text = printable_text(
        skin_entry_text(chunk_data.subspan(entry * skin_entry_size, skin_entry_size)));
    std::printf("    %s\n", text.c_str());
  }

  if (!count.found) {
    // The skin count that would have to change is not where the edit can find it.
    if (mode == RunMode::list) {
      std::printf("WARNING: SKIN chunk comes before any HEADER chunk\n");
      return;
    }
    fatal("Can't edit skins: SKIN chunk comes before any HEADER chunk", -1);
  }
  const bool consistent =
      count.value >= 0 &&
      static_cast<std::uint64_t>(count.value) * skin_entry_size == chunk_data.size();
  if (!consistent) {
    // Appending would keep a list whose length is unknown; replacing drops it whole, so the
    // result is consistent again; listing only reports.
    if (mode == RunMode::append) {
      fatal("Can't append: skin count does not match SKIN chunk size", -1);
    }
    std::printf("WARNING: Skin count %" PRId32 " does not match SKIN chunk size %zu\n", count.value,
                chunk_data.size());
  }
  if (mode == RunMode::list) {
    return;
  }

  check_skin_paths(options);
  // Keep the size field within what it can state.
  const std::uint64_t kept = mode == RunMode::append ? static_cast<std::uint64_t>(count.value) : 0;
  if ((kept + options.skin_paths.size()) * skin_entry_size >
      static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    fatal("Too many skin paths for one SKIN chunk", -1);
  }

  const std::size_t size_field = copied_size_field(*output, chunk_data.size());
  const std::span<std::uint8_t> placed = output_bytes(*output);
  if (mode == RunMode::replace) {
    output->length -= chunk_data.size();
    write_le32(placed, size_field, 0);
    write_le32(placed, count.field_offset, 0);
  }
  for (const std::string& path : options.skin_paths) {
    const std::int32_t number = read_le32(output_bytes(*output), count.field_offset) + 1;
    std::printf("    Adding #%" PRId32 " skin name '%s'...\n", number,
                printable_text(path).c_str());
    std::array<std::uint8_t, skin_entry_size> entry{};
    std::copy(path.begin(), path.end(), entry.begin());
    output_append(*output, entry);
    const std::span<std::uint8_t> bytes = output_bytes(*output);
    write_le32(bytes, size_field,
               read_le32(bytes, size_field) + static_cast<std::int32_t>(skin_entry_size));
    write_le32(bytes, count.field_offset, number);
  }
}

}  // namespace fmskins
