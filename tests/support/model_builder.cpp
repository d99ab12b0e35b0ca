#include "support/model_builder.h"

#include <cassert>

namespace fmskins::test {

std::string le32(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::string bytes;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<char>((bits >> shift) & 0xFFU));
  }
  return bytes;
}

std::string chunk_with_size(std::string_view identifier, std::int32_t version,
                            std::int32_t size_field, std::string_view data) {
  assert(identifier.size() <= 32);
  std::string bytes(identifier);
  bytes.resize(32, '\0');
  bytes += le32(version);
  bytes += le32(size_field);
  bytes += data;
  return bytes;
}

std::string chunk(std::string_view identifier, std::int32_t version, std::string_view data) {
  return chunk_with_size(identifier, version, static_cast<std::int32_t>(data.size()), data);
}

std::string header_chunk(std::int32_t skin_count) {
  std::string data;
  for (std::int32_t field = 0; field < 10; ++field) {
    data += le32(field == 3 ? skin_count : 0x01010101 * (field + 1));
  }
  return chunk("header", 2, data);
}

std::string skin_entry(std::string_view path) {
  assert(path.size() <= 64);
  std::string entry(path);
  entry.resize(64, '\0');
  return entry;
}

std::string skin_chunk(const std::vector<std::string>& paths) {
  std::string data;
  for (const std::string& path : paths) {
    data += skin_entry(path);
  }
  return chunk("skin", 1, data);
}

std::string plain_chunk(std::string_view identifier, std::int32_t version, std::size_t size) {
  std::string data;
  for (std::size_t index = 0; index < size; ++index) {
    data.push_back(static_cast<char>((index * 37 + 11) & 0xFFU));
  }
  return chunk(identifier, version, data);
}

std::string sample_model(const std::vector<std::string>& paths) {
  return header_chunk(static_cast<std::int32_t>(paths.size())) + skin_chunk(paths) +
         plain_chunk("st coord", 1, 24) + plain_chunk("frames", 1, 100);
}

std::int32_t field_at(const std::string& model, std::size_t offset) {
  std::uint32_t bits = 0;
  for (std::size_t index = 0; index < 4; ++index) {
    bits |= std::uint32_t{static_cast<unsigned char>(model.at(offset + index))} << (8 * index);
  }
  return static_cast<std::int32_t>(bits);
}

}  // namespace fmskins::test

namespace fmskins::test {

std::string bundled_sample_model() {
  return header_chunk(3) +
         skin_chunk({"models/monsters/ogre/skin_green.m8", "models/monsters/ogre/skin_grey.m8",
                     "models/monsters/ogre/skin_pain.m8"}) +
         plain_chunk("st coord", 1, 48) + plain_chunk("tris", 1, 72) +
         plain_chunk("frames", 1, 160);
}

}  // namespace fmskins::test
