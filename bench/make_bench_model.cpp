// Writes the benchmark's models, streaming, so that a model of any size costs no memory:
//   make_bench_model large PATH BYTES    header, skin chunk (2 paths), six frames chunks: 8 chunks
//   make_bench_model many PATH CHUNKS    header, skin chunk, then CHUNKS small tris chunks

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void put_le32(std::string& bytes, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<char>((value >> shift) & 0xFFU));
  }
}

std::string chunk_header(std::string_view identifier, std::uint32_t version, std::uint32_t size) {
  std::string bytes(identifier);
  bytes.resize(32, '\0');
  put_le32(bytes, version);
  put_le32(bytes, size);
  return bytes;
}

std::string head_chunks() {
  std::string bytes = chunk_header("header", 2, 40);
  for (std::uint32_t field = 0; field < 10; ++field) {
    put_le32(bytes, field == 3 ? 2 : field);
  }
  bytes += chunk_header("skin", 1, 128);
  for (std::string_view path : {"skins/bench_a.m8", "skins/bench_b.m8"}) {
    std::string entry(path);
    entry.resize(64, '\0');
    bytes += entry;
  }
  return bytes;
}

bool write_all(std::FILE* file, const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    (void)std::fprintf(stderr, "usage: make_bench_model large|many PATH NUMBER\n");
    return 2;
  }
  const std::string kind = argv[1];
  const unsigned long long number = std::strtoull(argv[3], nullptr, 10);
  std::FILE* file = std::fopen(argv[2], "wb");
  if (file == nullptr) {
    (void)std::fprintf(stderr, "make_bench_model: cannot create %s\n", argv[2]);
    return 1;
  }
  const std::string head = head_chunks();
  bool written = write_all(file, head);
  if (kind == "large") {
    constexpr unsigned long long frames_chunks = 6;
    const unsigned long long data = number - head.size() - 40 * frames_chunks;
    if (number < head.size() + 41 * frames_chunks || data / frames_chunks > 0x7FFFFFFFULL) {
      (void)std::fprintf(stderr, "make_bench_model: size out of range\n");
      return 2;
    }
    std::vector<char> block(1U << 20U);
    for (std::size_t index = 0; index < block.size(); ++index) {
      block[index] = static_cast<char>((index * 131U + 7U) & 0xFFU);
    }
    for (unsigned long long chunk = 0; chunk < frames_chunks; ++chunk) {
      // The last chunk takes what does not divide evenly.
      const unsigned long long size =
          data / frames_chunks + (chunk + 1 == frames_chunks ? data % frames_chunks : 0);
      written =
          written && write_all(file, chunk_header("frames", 1, static_cast<std::uint32_t>(size)));
      for (unsigned long long left = size; written && left > 0;) {
        const std::size_t count =
            left < block.size() ? static_cast<std::size_t>(left) : block.size();
        written = std::fwrite(block.data(), 1, count, file) == count;
        left -= count;
      }
    }
  } else if (kind == "many") {
    const std::string small = chunk_header("tris", 1, 4) + "abcd";
    for (unsigned long long index = 0; written && index < number; ++index) {
      written = write_all(file, small);
    }
  } else {
    (void)std::fprintf(stderr, "make_bench_model: unknown kind %s\n", kind.c_str());
    return 2;
  }
  if (std::fclose(file) != 0 || !written) {
    (void)std::fprintf(stderr, "make_bench_model: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
