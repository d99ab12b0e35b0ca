// The sample model shipped in examples/ is the one the test helpers make, and the tool
// lists it as the README shows.

#include <gtest/gtest.h>

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

const std::filesystem::path sample_path =
    std::filesystem::path(FMSKINS_SOURCE_DIR) / "examples" / "sample.fm";

TEST(SampleModel, ShippedFileIsTheGeneratedOne) {
  EXPECT_EQ(read_file(sample_path), bundled_sample_model());
}

TEST(SampleModel, ListsWithoutChangingAnything) {
  const ScratchDir dir;
  write_file(dir.path / "sample.fm", bundled_sample_model());
  const ToolRun run = run_tool(dir.path, {"/L", "sample.fm"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output.substr(0, banner().size()), banner());
  EXPECT_EQ(snapshot(dir.path),
            (std::map<std::string, std::string>{{"sample.fm", bundled_sample_model()}}));
}

}  // namespace
}  // namespace fmskins::test
