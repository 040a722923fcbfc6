#include "platform/local_clock.h"

#include <mutex>

namespace vellomar {

namespace {
std::mutex sourceLock;
LocalTimeSource source;
}  // namespace

std::tm LocalTimeAt(std::time_t when) {
  ::tzset();
  std::tm local{};
  ::localtime_r(&when, &local);
  return local;
}

std::tm LocalNow() {
  {
    std::lock_guard<std::mutex> guard(sourceLock);
    if (source) return source();
  }
  return LocalTimeAt(std::time(nullptr));
}

void SetLocalTimeSource(LocalTimeSource newSource) {
  std::lock_guard<std::mutex> guard(sourceLock);
  source = std::move(newSource);
}

}  // namespace vellomar
