// Writes the bundled sample model to the path given as the only argument.

#include <cstdio>
#include <exception>

#include "support/model_builder.h"
#include "support/tool_runner.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: make_sample_model OUTPUT.fm\n");
    return 2;
  }
  try {
    fmskins::test::write_file(argv[1], fmskins::test::bundled_sample_model());
  } catch (const std::exception& failure) {
    (void)std::fprintf(stderr, "make_sample_model: %s\n", failure.what());
    return 1;
  }
  return 0;
}
