// Records why each skipped test was skipped in a file of the build tree, which ctest prints
// when the run ends: ctest itself shows a skipped test only as "(Skipped)".

#include <gtest/gtest.h>

#include <fstream>

#ifndef FMSKINS_SKIP_LOG
#error "FMSKINS_SKIP_LOG must name the file of skip reasons"
#endif

namespace fmskins::test {
namespace {

class SkipLog : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.skipped()) {
      return;
    }
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::ofstream log(FMSKINS_SKIP_LOG, std::ios::app);
    log << "Skipped " << (test == nullptr ? "" : test->test_suite_name()) << "."
        << (test == nullptr ? "" : test->name()) << ": " << result.message() << "\n";
  }
};

// Registered before main() runs, so every test program of the suite has it.
const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new SkipLog);
  return true;
}();

}  // namespace
}  // namespace fmskins::test
