// Records why each skipped test was skipped in a file of the build tree, which ctest prints
// when the run ends: ctest itself shows a skipped test only as "(Skipped)".

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/tool_runner.h"

#ifndef FMSKINS_SKIP_LOG
#error "FMSKINS_SKIP_LOG must name the file of skip reasons"
#endif

namespace fmskins::test {
namespace {

void log_skip(const std::string& what, const std::string& reason) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::ofstream log(FMSKINS_SKIP_LOG, std::ios::app);
  log << "Skipped " << (test == nullptr ? "" : test->test_suite_name()) << "."
      << (test == nullptr ? "" : test->name()) << what << ": " << reason << "\n";
}

class SkipLog : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.skipped()) {
      log_skip("", result.message());
    }
  }
};

// Registered before main() runs, so every test program of the suite has it.
const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new SkipLog);
  return true;
}();

}  // namespace

void note_skipped_case(const std::string& reason) { log_skip(" (one case)", reason); }

}  // namespace fmskins::test
