#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <string>

class QSystemTrayIcon;

namespace vellomar {

// How the Qt face shows a desktop notification: through the desktop's notification service
// (org.freedesktop.Notifications on the session bus) where there is one, with a "Sign in..."
// action where the service offers actions and a click on the notification bringing the window
// up; through the tray icon's own message otherwise. Nothing here waits for the bus: every call
// is asynchronous, and a service that does not answer costs a notification shown by the tray
// instead. Used on Qt's main thread only.
class DesktopNotifications : public QObject {
  Q_OBJECT

 public:
  using SignIn = std::function<void(const std::string& signIn)>;
  using Display = std::function<void()>;

  // The service is asked what it offers at once; until it answers, notifications still go to it.
  DesktopNotifications(QSystemTrayIcon& tray, SignIn signIn, Display display);

  void Show(const QString& title, const QString& body, const std::string& signIn);

  // What the service said of itself: none while it has not answered (or there is no bus).
  bool serviceAnswered() const { return service_ == Service::Present; }
  bool offersActions() const { return actions_; }

 private slots:
  void ActionInvoked(uint id, const QString& action);
  void NotificationClosed(uint id, uint reason);

 private:
  enum class Service { Unknown, Present, Absent };
  void AskCapabilities();
  void ShowByTray(const QString& title, const QString& body, const std::string& signIn);

  QSystemTrayIcon& tray_;
  SignIn signIn_;
  Display display_;
  Service service_ = Service::Unknown;
  bool actions_ = false;
  // The notifications shown and not yet closed, by the id the service gave them: the sign-in
  // each offers (empty for none).
  std::map<uint, std::string> shown_;
  // The sign-in the tray's last message offers, for a click on it.
  std::string traySignIn_;
};

}  // namespace vellomar
