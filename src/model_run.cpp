#include "model_run.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/shown_text.h"
#include "files/model_file.h"
#include "files/model_lock.h"
#include "files/output_file.h"
#include "model/chunk_format.h"
#include "model/model_pass.h"

namespace fmskins {

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
