#include "qt/qt_executor.h"

#include <QCoreApplication>
#include <QThread>

namespace vellomar {

bool QtExecutor::Post(std::function<void()> task) {
  if (closed_ || QCoreApplication::instance() == nullptr) return false;
  // An exception must never reach Qt's event loop, which cannot carry one.
  return QMetaObject::invokeMethod(
      &context_, [this, task = std::move(task)] { RunGuarded(task); }, Qt::QueuedConnection);
}

bool QtExecutor::IsCurrentThread() const {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace vellomar
