#pragma once

#include <ctime>

#include "support/temp_dir.h"

namespace vellomar::test {

// Puts the program-wide state a test touches back to its start: flags cleared, the queue
// list and both registries emptied, the clock back on the system, and (while it lives) the
// application directory pointed at a fresh temporary folder.
class ProgramState {
 public:
  ProgramState();
  ~ProgramState();
  ProgramState(const ProgramState&) = delete;
  ProgramState& operator=(const ProgramState&) = delete;

  const TempDir& appDir() const { return appDir_; }

 private:
  TempDir appDir_;
};

// A local time at the given hour, minute and second of an arbitrary day.
std::tm LocalTimeOfDay(int hour, int minute, int second);

}  // namespace vellomar::test
