#pragma once

// Runs a piece of the core in-process: a run that would end the process throws instead,
// and what it printed is captured.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "cli/fatal.h"

namespace fmskins::test {

struct RunEnded {
  int status;
};

[[noreturn]] inline void throw_run_ended(int status) { throw RunEnded{status}; }

// Calls `body`; returns the exit status when the run ended, nothing when it returned.
// `report` receives everything printed to standard output meanwhile.
inline std::optional<int> run_in_process(const std::function<void()>& body, std::string& report) {
  const ExitHandler previous = set_exit_handler(throw_run_ended);
  testing::internal::CaptureStdout();
  std::optional<int> status;
  try {
    body();
  } catch (const RunEnded& ended) {
    status = ended.status;
  }
  report = testing::internal::GetCapturedStdout();
  set_exit_handler(previous);
  return status;
}

}  // namespace fmskins::test
