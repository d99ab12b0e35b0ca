#include "model/model_image.h"

#include <algorithm>

#include "cli/fatal.h"

namespace fmskins {

std::span<const std::uint8_t> model_bytes(const ModelImage& model) {
  return {model.bytes.get(), model.length};
}

std::span<std::uint8_t> output_bytes(OutputImage& output) {
  return {output.bytes.get(), output.length};
}

OutputImage make_output_image(std::size_t capacity) {
  OutputImage output;
  output.bytes = allocate_bytes(capacity);
  if (!output.bytes) {
    fatal("Can't allocate memory for modified model", -1);
  }
  output.capacity = capacity;
  return output;
}

void output_append(OutputImage& output, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > output.capacity - output.length) {
    fatal("Internal error: modified model outgrew its buffer", -1);
  }
  if (!bytes.empty()) {
    std::copy(bytes.begin(), bytes.end(), output.bytes.get() + output.length);
  }
  output.length += bytes.size();
}

}  // namespace fmskins
