#pragma once

#include <mutex>
#include <string>

namespace vellomar {

// A text one thread replaces while others read it: a reader always gets the old or the new
// text whole, never a torn one.
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string text) : text_(std::move(text)) {}

  std::string Get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return text_;
  }
  void Set(std::string text) {
    std::lock_guard<std::mutex> guard(lock_);
    text_.swap(text);
  }

 private:
  mutable std::mutex lock_;
  std::string text_;
};

}  // namespace vellomar
