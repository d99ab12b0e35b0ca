#include "model/model_pass.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/shown_text.h"
#include "model/chunk_format.h"
#include "model/model_outline.h"
#include "model/skin_edit.h"

namespace fmskins {

bool walk_model(std::span<const std::uint8_t> model, const RunOptions& options, OutputImage* output,
                std::FILE* outline) {
  SkinCount skin_count;
  bool skin_chunk_seen = false;
  std::size_t offset = 0;
  while (offset < model.size()) {
    const std::size_t remaining = model.size() - offset;
    if (remaining < chunk_header_size) {
      fatal(chunk_too_big, -1);
    }
    const ChunkHeader header = read_chunk_header(model, offset);
    // Identifiers come from the file: control bytes in them must not reach a terminal.
    const std::string shown_identifier = printable_text(stored_text_for_report(header.identifier));
    report("%-32s version %" PRId32 ", length %" PRId32 " bytes.\n", shown_identifier.c_str(),
           header.version, header.size);
    const ChunkKind* kind = find_chunk_kind(header.identifier);
    outline_chunk(outline, header, offset, kind != nullptr);
    if (const char* fault = chunk_fault(header, kind, remaining)) {
      fatal(fault, -1);
    }
    const auto data_size = static_cast<std::size_t>(header.size);
    const std::span<const std::uint8_t> chunk =
        model.subspan(offset, chunk_header_size + data_size);
    const std::span<const std::uint8_t> data = chunk.subspan(chunk_header_size);
    if (output != nullptr) {
      output_append_model(*output, offset, chunk.size());
    }

    if (kind == nullptr) {
      report("WARNING: Unrecognized chunk identifier: %s\n", shown_identifier.c_str());
    } else if (kind->role == ChunkRole::header) {
      skin_count.found = true;
      skin_count.value = read_le32(data, header_skin_count_offset);
      skin_count.field_offset = offset + chunk_header_size + header_skin_count_offset;
      report("    %" PRId32 " skins identified.\n", skin_count.value);
    } else if (kind->role == ChunkRole::skin) {
      if (skin_chunk_seen) {
        // The paths go to the first skin chunk only; a further one is copied as it is.
        report("WARNING: Further SKIN chunk left unchanged\n");
      } else {
        skin_chunk_seen = true;
        edit_skin_chunk(data, skin_count, options, output, outline);
      }
    }
    offset += chunk.size();
  }
  return skin_chunk_seen;
}

}  // namespace fmskins
