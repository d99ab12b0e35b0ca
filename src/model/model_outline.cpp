#include "model/model_outline.h"

#include <cinttypes>
#include <string>

namespace fmskins {
namespace {

std::string hex(std::string_view bytes) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const char character : bytes) {
    const auto byte = static_cast<unsigned char>(character);
    text += digits[byte >> 4U];
    text += digits[byte & 0x0FU];
  }
  return text;
}

}  // namespace

void outline_chunk(std::FILE* outline, const ChunkHeader& header, std::size_t offset, bool known) {
  if (outline != nullptr) {
    (void)std::fprintf(outline,
                       "{\"chunk\":%zu,\"identifier\":\"%s\",\"version\":%" PRId32
                       ",\"size\":%" PRId32 ",\"known\":%s}\n",
                       offset, hex(header.identifier).c_str(), header.version, header.size,
                       known ? "true" : "false");
  }
}

void outline_skins(std::FILE* outline, bool count_found, std::int32_t count) {
  if (outline != nullptr) {
    (void)std::fprintf(outline, "{\"skins\":%s,\"count\":%" PRId32 "}\n",
                       count_found ? "true" : "false", count);
  }
}

void outline_path(std::FILE* outline, std::string_view stored) {
  if (outline != nullptr) {
    (void)std::fprintf(outline, "{\"path\":\"%s\"}\n", hex(stored).c_str());
  }
}

void outline_warning(std::FILE* outline, std::size_t entry, std::string_view text) {
  if (outline != nullptr) {
    (void)std::fprintf(outline, "{\"warning\":%zu,\"text\":\"%s\"}\n", entry, hex(text).c_str());
  }
}

}  // namespace fmskins
