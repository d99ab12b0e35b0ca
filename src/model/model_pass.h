#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "cli/command_line.h"
#include "model/model_image.h"

namespace fmskins {

// Walks the chunks of `model` from first to last: prints and checks each, copies each to
// `output` (absent in list mode) and hands the skin chunk to the skin editing. Any fault
// in the model ends the run through fatal(). True when a skin chunk was found and handed on.
// Where `outline` is given, the chunks, stored paths and path warnings are also written to
// it in the fixed form of model_outline.h.
bool walk_model(std::span<const std::uint8_t> model, const RunOptions& options, OutputImage* output,
                std::FILE* outline = nullptr);

}  // namespace fmskins
