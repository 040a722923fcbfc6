#pragma once

#include <mutex>
#include <utility>

namespace vellomar {

// A value one thread replaces while others read it: a reader always gets a copy of the old
// or the new value whole, never a torn one. The lock is held only for the copy or the swap.
template <typename T>
class SharedValue {
 public:
  SharedValue() = default;
  explicit SharedValue(T value) : value_(std::move(value)) {}

  T Get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
  }
  void Set(T value) {
    std::lock_guard<std::mutex> guard(lock_);
    std::swap(value_, value);
  }

 private:
  mutable std::mutex lock_;
  T value_{};
};

}  // namespace vellomar
