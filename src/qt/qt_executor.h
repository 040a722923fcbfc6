#pragma once

#include <QObject>
#include <atomic>

#include "platform/executor.h"

namespace vellomar {

// The window's thread of the Qt face: Qt's main thread, reached through its event loop. Tasks
// are posted to an object of the executor's own, so that those still queued when it goes are
// dropped with it. Made on Qt's main thread.
class QtExecutor : public Executor {
 public:
  explicit QtExecutor(StopFlag& stop) : Executor(stop) {}

  bool PostAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
  bool IsCurrentThread() const override;
  // Once the event loop has ended, posts are dropped.
  void Close() { closed_ = true; }

 private:
  std::atomic<bool> closed_{false};
  QObject context_;
};

}  // namespace vellomar
