#include "support/test_clock.h"

namespace vellomar::test {

void TestClock::Set(const std::tm& moment) {
  std::lock_guard<std::mutex> guard(lock_);
  moment_ = moment;
  fixed_ = true;
}

void TestClock::UseSystemTime() {
  std::lock_guard<std::mutex> guard(lock_);
  fixed_ = false;
}

LocalTimeSource TestClock::Source() {
  return [this] {
    std::lock_guard<std::mutex> guard(lock_);
    return fixed_ ? moment_ : LocalNow();
  };
}

std::tm LocalTimeOfDay(int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  return local;
}

}  // namespace vellomar::test
