#include "model/model_pass.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/shown_text.h"
#include "model/chunk_format.h"
#include "model/model_file.h"
#include "model/model_lock.h"
#include "model/model_outline.h"
#include "model/output_file.h"
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
      fatal("Invalid (too big) chunk size in model", -1);
    }
    const ChunkHeader header = read_chunk_header(model, offset);
    // Identifiers come from the file: control bytes in them must not reach a terminal.
    const std::string shown_identifier = printable_text(stored_text_for_report(header.identifier));
    report("%-32s version %" PRId32 ", length %" PRId32 " bytes.\n", shown_identifier.c_str(),
           header.version, header.size);
    const ChunkKind* kind = find_chunk_kind(header.identifier);
    outline_chunk(outline, header, offset, kind != nullptr);
    if (header.size <= 0) {
      fatal("Invalid (<=0) chunk size in model", -1);
    }
    // Both sides are below 2^32 here, so the comparison cannot wrap.
    const auto data_size = static_cast<std::size_t>(header.size);
    if (data_size > remaining - chunk_header_size) {
      fatal("Invalid (too big) chunk size in model", -1);
    }
    const std::span<const std::uint8_t> chunk =
        model.subspan(offset, chunk_header_size + data_size);
    const std::span<const std::uint8_t> data = chunk.subspan(chunk_header_size);
    if (output != nullptr) {
      output_append_model(*output, offset, chunk.size());
    }

    if (kind == nullptr) {
      report("WARNING: Unrecognized chunk identifier: %s\n", shown_identifier.c_str());
    } else if (header.version != kind->version) {
      fatal(kind->bad_version, -1);
    } else if (kind->role == ChunkRole::header) {
      if (data.size() < header_min_data_size) {
        fatal("Invalid (too small) HEADER chunk size in model", -1);
      }
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

void run_model_pass(const RunOptions& options, std::FILE* outline) {
  // Paths come from the command line, often from archive and download names: control bytes
  // in them are shown escaped, as the model's own texts are.
  report("Input Model File: %s\n", printable_text(options.model_path).c_str());
  const bool list_only = run_mode(options) == RunMode::list;
  // A run that replaces a file holds it from before the model is read until it is
  // replaced, so that no other run's edit of it made meanwhile is thrown away.
  ModelLock lock;
  if (!list_only) {
    lock = lock_output_file(options.output_path);
  }
  const ModelImage model = read_model_file(options);
  report("%zu bytes\n", model.length);

  OutputImage output;
  if (!list_only) {
    // The tool's own bytes: the new entries and the two patched 32-bit fields.
    constexpr std::size_t patched_fields = 2 * sizeof(std::int32_t);
    const std::size_t entries = options.skin_paths.size();
    if (entries > (SIZE_MAX - patched_fields) / skin_entry_size) {
      fatal("Can't allocate memory for modified model", -1);
    }
    output = make_output_image(skin_entry_size * entries + patched_fields);
  }

  const bool skins_edited =
      walk_model(model_bytes(model), options, list_only ? nullptr : &output, outline);

  if (list_only) {
    // A page of the list that another program cut off the file meanwhile read as zeros.
    if (model_cut_short(model)) {
      fatal("Model file changed while it was being read", -1);
    }
    // The list is what was asked for: one that did not arrive whole is a failure.
    if (!flush_report()) {
      fatal("Unable to write the skin list", -1);
    }
    return;
  }
  if (!skins_edited) {
    report("WARNING: Model has no skin chunk; no skin paths were stored\n");
  }
  const std::string shown_output = printable_text(options.output_path);
  report("Output Model File: %s\n", shown_output.c_str());
  // The report so far must reach standard output before the model does, should the two be
  // the same stream.
  flush_report();
  write_output_file({options.output_path, output, options.model_path, model, lock.handle});
  release_model_lock(lock);
  report("Wrote: %s, %zu bytes\n", shown_output.c_str(), output.length);
}

}  // namespace fmskins
