#pragma once

// The run of one model: the format's walk and the files' reading and writing, put together.
// It stands above both, beside the programs' entries.

#include <cstdio>

#include "cli/command_line.h"

namespace fmskins {

// The whole run after the command line: load the model, walk it and, outside list mode,
// write the result to the output path. Returns only on success. `outline` as for walk_model.
void run_model_pass(const RunOptions& options, std::FILE* outline = nullptr);

}  // namespace fmskins
