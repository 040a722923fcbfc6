#include "ui/qt_executor.h"

#include <QCoreApplication>
#include <QThread>

namespace vellomar {

bool QtExecutor::Post(std::function<void()> task) {
  QCoreApplication* app = QCoreApplication::instance();
  if (closed_ || app == nullptr) return false;
  return QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

bool QtExecutor::IsCurrentThread() const {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace vellomar
