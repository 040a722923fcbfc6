#include "platform/local_clock.h"

#include <mutex>

namespace vellomar {

namespace {
// glibc serialises the zone state with a lock of its own, which the thread sanitizer cannot
// see; one lock of ours around the refresh and the conversion makes the order visible.
std::mutex zoneLock;
}  // namespace

std::tm LocalTimeAt(std::time_t when) {
  std::lock_guard<std::mutex> guard(zoneLock);
  ::tzset();
  std::tm local{};
  ::localtime_r(&when, &local);
  return local;
}

std::tm LocalNow() { return LocalTimeAt(std::time(nullptr)); }

}  // namespace vellomar
