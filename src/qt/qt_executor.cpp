#include "qt/qt_executor.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace vellomar {

bool QtExecutor::PostAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  if (closed_ || QCoreApplication::instance() == nullptr) return false;
  // An exception must never reach Qt's event loop, which cannot carry one.
  auto guarded = [this, task = std::move(task)] { RunGuarded(task); };
  if (delay.count() <= 0) return QMetaObject::invokeMethod(&context_, std::move(guarded), Qt::QueuedConnection);
  // A timer belongs to the thread that starts it, and the caller's may have no event loop:
  // Qt's own thread starts it.
  return QMetaObject::invokeMethod(
      &context_, [this, delay, guarded = std::move(guarded)] { QTimer::singleShot(delay, &context_, guarded); },
      Qt::QueuedConnection);
}

bool QtExecutor::IsCurrentThread() const {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace vellomar
