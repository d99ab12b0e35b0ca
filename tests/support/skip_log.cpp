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

// The running test, noted when it starts: GoogleTest holds its own lock while it reports a
// result to listeners, so it cannot be asked then.
std::string running_test;

void log_skip(const std::string& what, const std::string& reason) {
  std::ofstream log(FMSKINS_SKIP_LOG, std::ios::app);
  log << "Skipped " << running_test << what << ": " << reason << "\n";
}

class SkipLog : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo& test) override {
    running_test = std::string(test.test_suite_name()) + "." + test.name();
  }
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
