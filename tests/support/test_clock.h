#pragma once

#include <ctime>
#include <mutex>

#include "platform/local_clock.h"

namespace vellomar::test {

// A local time a test sets, handed to a relay as its clock: the system's time until a moment
// is set, that moment from then on.
class TestClock {
 public:
  void Set(const std::tm& moment);
  void UseSystemTime();
  // The source a relay or a queue list takes; valid while the clock lives.
  LocalTimeSource Source();

 private:
  std::mutex lock_;
  bool fixed_ = false;
  std::tm moment_{};
};

// A local time at the given hour, minute and second of an arbitrary day.
std::tm LocalTimeOfDay(int hour, int minute, int second);

}  // namespace vellomar::test
