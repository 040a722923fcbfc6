#include "platform/local_clock.h"

#include <chrono>
#include <mutex>

namespace vellomar {

namespace {
// glibc serialises the zone state with a lock of its own, which the thread sanitizer cannot
// see; one lock of ours around the refresh and the conversion makes the order visible.
std::mutex zoneLock;
// tzset looks at the zone file (a stat) every time, and a relay asks for the time several
// times per message: once a second is soon enough to follow a change of the system's zone.
constexpr std::chrono::seconds kZoneRefresh{1};
std::chrono::steady_clock::time_point nextZoneRefresh;  // guarded by zoneLock
}  // namespace

std::tm LocalTimeAt(std::time_t when) {
  std::lock_guard<std::mutex> guard(zoneLock);
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextZoneRefresh) {
    ::tzset();
    nextZoneRefresh = now + kZoneRefresh;
  }
  std::tm local{};
  ::localtime_r(&when, &local);
  return local;
}

std::tm LocalNow() { return LocalTimeAt(std::time(nullptr)); }

}  // namespace vellomar
