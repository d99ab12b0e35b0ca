#pragma once

#include "cli/command_line.h"
#include "model/model_image.h"

namespace fmskins {

// Reads the model file named by the options whole and closes it. A path that cannot be
// opened, or whose length cannot be found (a directory, a pipe), ends the run with the
// usage text and the error number as status; a failed or short read ends it with -1.
ModelImage read_model_file(const RunOptions& options);

}  // namespace fmskins
