#include <gtest/gtest.h>

#include <vector>

#include "model/model_image.h"
#include "support/in_process.h"

namespace fmskins {
namespace {

TEST(OutputImage, AppendingPastTheCapacityEndsTheRunAndWritesNothing) {
  OutputImage output = make_output_image(6);
  const std::vector<std::uint8_t> four{1, 2, 3, 4};
  std::string report;
  EXPECT_FALSE(test::run_in_process([&] { output_append(output, four); }, report).has_value());
  const std::vector<std::uint8_t> placed(output.bytes.get(), output.bytes.get() + 4);
  EXPECT_EQ(placed, four);

  EXPECT_EQ(test::run_in_process([&] { output_append(output, four); }, report), -1);
  EXPECT_EQ(report, "\nFATAL: Internal error: modified model outgrew its buffer\n");
  EXPECT_EQ(output.length, 4U);

  EXPECT_FALSE(test::run_in_process([&] { output_append(output, {four.data(), 2}); }, report));
  EXPECT_EQ(output.length, output.capacity);
}

}  // namespace
}  // namespace fmskins
