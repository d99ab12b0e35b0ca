// Writes the fuzzer's seed corpus into the directory given as the only argument: the
// sample model and models like those of the tests, each behind control bytes for list,
// append and replace runs.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "support/model_builder.h"
#include "support/tool_runner.h"

namespace {

using namespace fmskins::test;

std::vector<std::string> seed_models() {
  return {
      bundled_sample_model(),
      sample_model({"a", "b", "c"}),
      header_chunk(0) + plain_chunk("tris", 1, 12),
      header_chunk(2) + skin_chunk({"a"}) + plain_chunk("frames", 1, 20),
      skin_chunk({"a"}) + header_chunk(1),
      plain_chunk("frames", 1, 8) + header_chunk(1) + skin_chunk({"x"}) + skin_chunk({"y"}),
      header_chunk(1) + chunk("skin", 1, skin_entry(std::string(64, 'z'))) +
          plain_chunk("mesh nodes", 3, 16) + plain_chunk("skeleton", 1, 4) +
          plain_chunk("references", 1, 8) + plain_chunk("glcmds", 1, 8) +
          plain_chunk("st coord", 1, 8),
      chunk("header", 2, "0123456789abcde"),
      header_chunk(1) + chunk_with_size("skin", 1, -1, ""),
      header_chunk(1) + skin_chunk({"a"}) + std::string(7, '\x01'),
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: make_corpus DIRECTORY\n");
    return 2;
  }
  try {
    const std::string controls[] = {
        std::string("\x02", 1),             // list
        std::string("\x01", 1),             // append, no paths
        std::string("\x05\x03new", 5),      // append one path
        std::string("\x08\x01p\x02qq", 6),  // replace, two paths
        "\x04\x40" + std::string(64, 'L'),  // replace with a path too long
    };
    int number = 0;
    for (const std::string& model : seed_models()) {
      for (const std::string& control : controls) {
        write_file(std::string(argv[1]) + "/seed-" + std::to_string(number++), control + model);
      }
    }
  } catch (const std::exception& failure) {
    (void)std::fprintf(stderr, "make_corpus: %s\n", failure.what());
    return 1;
  }
  return 0;
}
