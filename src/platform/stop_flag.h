#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace vellomar {

// A program-wide flag that is set once and wakes whoever waits on it. Readers poll it
// lock-free; a waiter that must not sleep through the moment it is set subscribes a wake
// call for the length of its wait.
//
// Lock order: the flag's own lock is taken before a waiter's lock (the wake call locks the
// waiter), so a subscription must be made and dropped while its owner holds no lock of its own.
class StopFlag {
 public:
  class Subscription {
   public:
    Subscription(StopFlag* flag, uint64_t id) : flag_(flag), id_(id) {}
    Subscription(Subscription&& other) noexcept : flag_(other.flag_), id_(other.id_) { other.flag_ = nullptr; }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    Subscription& operator=(Subscription&&) = delete;
    ~Subscription();

   private:
    StopFlag* flag_;
    uint64_t id_;
  };

  bool load() const { return value_.load(std::memory_order_acquire); }
  explicit operator bool() const { return load(); }

  // Sets the flag, then calls every subscribed wake call.
  void Set();
  // For tests, which reuse one program-wide flag across cases.
  void Reset() { value_.store(false, std::memory_order_release); }

  // `wake` must only lock its owner's mutex and notify; it runs under the flag's lock.
  [[nodiscard]] Subscription Subscribe(std::function<void()> wake);

 private:
  std::atomic<bool> value_{false};
  std::mutex lock_;
  uint64_t nextId_ = 0;
  std::map<uint64_t, std::function<void()>> wakes_;
};

}  // namespace vellomar
