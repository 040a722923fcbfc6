#include "platform/thread_handle.h"

#include <sys/socket.h>

namespace vellomar {

namespace {
thread_local ThreadHandle* currentHandle = nullptr;
}

ThreadHandle* ThreadHandle::Current() { return currentHandle; }

void ThreadHandle::SetCurrent(ThreadHandle* handle) { currentHandle = handle; }

bool ThreadHandle::IsRunning() const {
  std::lock_guard<std::mutex> guard(lock_);
  return running_;
}

int ThreadHandle::ExitCode() const {
  std::lock_guard<std::mutex> guard(lock_);
  return exitCode_;
}

bool ThreadHandle::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> held(lock_);
  return changed_.wait_for(held, timeout, [this] { return !running_; });
}

void ThreadHandle::Wait() {
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return !running_; });
}

int ThreadHandle::Suspend() {
  std::lock_guard<std::mutex> guard(lock_);
  return suspendCount_++;
}

int ThreadHandle::Resume() {
  std::lock_guard<std::mutex> guard(lock_);
  int previous = suspendCount_;
  if (suspendCount_ > 0) --suspendCount_;
  changed_.notify_all();
  return previous;
}

int ThreadHandle::SuspendCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return suspendCount_;
}

bool ThreadHandle::PassGate() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (suspendCount_ == 0 || cancelled_ || stop_.load()) return !cancelled_ && !stop_.load();
  }
  auto subscription = stop_.Subscribe([this] {
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
  });
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return suspendCount_ == 0 || cancelled_ || stop_.load(); });
  return !cancelled_ && !stop_.load();
}

void ThreadHandle::Cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  cancelled_ = true;
  if (watchedSocket_ >= 0) ::shutdown(watchedSocket_, SHUT_RDWR);
  changed_.notify_all();
}

bool ThreadHandle::IsCancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

bool ThreadHandle::WatchSocket(int fd) {
  std::lock_guard<std::mutex> guard(lock_);
  watchedSocket_ = fd;
  if (cancelled_) ::shutdown(fd, SHUT_RDWR);
  return !cancelled_;
}

void ThreadHandle::UnwatchSocket() {
  std::lock_guard<std::mutex> guard(lock_);
  watchedSocket_ = -1;
}

void ThreadHandle::MarkEnded(int exitCode) {
  std::lock_guard<std::mutex> guard(lock_);
  running_ = false;
  exitCode_ = exitCode;
  watchedSocket_ = -1;
  changed_.notify_all();
}

SocketWatch::SocketWatch(int fd) : handle_(ThreadHandle::Current()) {
  if (handle_ != nullptr) ok_ = handle_->WatchSocket(fd);
}

SocketWatch::~SocketWatch() {
  if (handle_ != nullptr) handle_->UnwatchSocket();
}

}  // namespace vellomar
