#pragma once

#include <chrono>
#include <thread>

namespace vellomar::test {

// Waits (bounded) until the predicate holds; false when the time ran out first.
template <typename Predicate>
bool Eventually(Predicate predicate, int timeoutMs = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vellomar::test
