#include "qt/desktop_notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <utility>

namespace vellomar {

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
const char* const kSignInAction = "sign-in";
// The action a click on the notification itself invokes.
const char* const kDefaultAction = "default";
// The service's own time-out for a notification.
constexpr int kServerDefault = -1;
constexpr int kTrayShowMs = 15000;

QDBusMessage Call(const char* method) { return QDBusMessage::createMethodCall(kService, kPath, kInterface, method); }

}  // namespace

DesktopNotifications::DesktopNotifications(QSystemTrayIcon& tray, SignIn signIn, Display display)
    : tray_(tray), signIn_(std::move(signIn)), display_(std::move(display)) {
  QObject::connect(&tray_, &QSystemTrayIcon::messageClicked, this, [this] {
    std::string signIn = std::exchange(traySignIn_, std::string());
    if (!signIn.empty()) return signIn_(signIn);
    display_();
  });
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    service_ = Service::Absent;
    return;
  }
  bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(ActionInvoked(uint, QString)));
  bus.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(NotificationClosed(uint, uint)));
  AskCapabilities();
}

void DesktopNotifications::AskCapabilities() {
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(Call("GetCapabilities")), this);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* answered) {
    QDBusPendingReply<QStringList> reply = *answered;
    answered->deleteLater();
    if (reply.isError()) {
      service_ = Service::Absent;
      return;
    }
    service_ = Service::Present;
    actions_ = reply.value().contains("actions");
  });
}

void DesktopNotifications::Show(const QString& title, const QString& body, const std::string& signIn) {
  if (service_ == Service::Absent) return ShowByTray(title, body, signIn);
  QStringList actions;
  if (actions_) {
    actions << kDefaultAction << "Display";
    if (!signIn.empty()) actions << kSignInAction << "Sign in...";
  }
  QVariantMap hints;
  // Normal urgency: the relay's events matter, but none is an emergency of the desktop's.
  hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(1)));
  QDBusMessage notify = Call("Notify");
  notify << QString("Vellomar") << 0u << QString("vellomar") << title << body << actions << hints << kServerDefault;
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                   [this, title, body, signIn](QDBusPendingCallWatcher* answered) {
                     QDBusPendingReply<uint> reply = *answered;
                     answered->deleteLater();
                     if (reply.isError()) {
                       // No service after all (or a broken one): the tray says it instead.
                       service_ = Service::Absent;
                       return ShowByTray(title, body, signIn);
                     }
                     shown_[reply.value()] = signIn;
                   });
}

void DesktopNotifications::ShowByTray(const QString& title, const QString& body, const std::string& signIn) {
  traySignIn_ = signIn;
  tray_.showMessage(title, body, QSystemTrayIcon::Warning, kTrayShowMs);
}

// The service tells every program of every action: only those on our notifications count.
void DesktopNotifications::ActionInvoked(uint id, const QString& action) {
  auto ours = shown_.find(id);
  if (ours == shown_.end()) return;
  std::string signIn = ours->second;
  if (action == kSignInAction && !signIn.empty()) {
    shown_.erase(ours);
    signIn_(signIn);
  } else if (action == kDefaultAction) {
    display_();
  }
}

void DesktopNotifications::NotificationClosed(uint id, uint) { shown_.erase(id); }

}  // namespace vellomar
