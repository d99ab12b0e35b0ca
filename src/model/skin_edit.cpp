#include "model/skin_edit.h"

namespace fmskins {

// Skin paths are not edited yet: the skin chunk passes through as it was copied.
void edit_skin_chunk(std::span<const std::uint8_t> /*chunk_data*/, const SkinCount& /*count*/,
                     const RunOptions& /*options*/, OutputImage* /*output*/) {}

}  // namespace fmskins
