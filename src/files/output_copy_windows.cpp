// Windows: moving the output's bytes, each piece from the model image or the tool's own
// bytes, in blocks the system takes in one call.

#include <windows.h>

#include <algorithm>

#include "files/output_windows.h"

namespace fmskins {
namespace {

constexpr std::size_t io_block = std::size_t{1} << 30U;

}  // namespace

bool write_fully(HANDLE handle, const OutputRequest& request) {
  for (const OutputPiece& piece : request.output.pieces) {
    std::span<const std::uint8_t> bytes =
        piece_bytes(request.output, model_bytes(request.model), piece);
    while (!bytes.empty()) {
      DWORD put = 0;
      const auto count = static_cast<DWORD>(std::min(bytes.size(), io_block));
      if (WriteFile(handle, bytes.data(), count, &put, nullptr) == 0 || put == 0) {
        return false;
      }
      bytes = bytes.subspan(put);
    }
  }
  return true;
}

}  // namespace fmskins
