#pragma once

#include <QSystemTrayIcon>
#include <memory>
#include <optional>

#include "common/window_controls.h"

class QMenu;

namespace vellomar {

class DesktopNotifications;
class MainDialog;

// The window's controls of the Qt face: the ids mapped to the main dialog's widgets, message
// boxes, the start-up Modes dialog and the tray icon. Used on Qt's main thread only.
class QtControls : public WindowControls {
 public:
  explicit QtControls(MainDialog& dialog);
  ~QtControls() override;

  int ListCount(int listId) override;
  std::string ListItem(int listId, int index) override;
  int ListSelection(int listId) override;
  void ListSelect(int listId, int index) override;
  void ListClear(int listId) override;
  void ListAppend(int listId, const std::string& text) override;
  void SetText(int id, const std::string& text) override;
  std::string Text(int id) override;
  void AppendNotification(const std::string& text, const std::string& logLine) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  // A box the user closes; the relay thread that asked waits for it (holding no lock).
  void ShowSystemError(const std::string& text) override;
  void SetButtonBitmap(int buttonId, int bitmapId) override;
  int ButtonBitmap(int buttonId) override;
  void SetWindowVisible(bool visible) override;
  bool WindowVisible() override;
  bool RunModesDialog() override;
  void AddTrayIcon() override;
  void RemoveTrayIcon() override;
  bool CanHideWindow() override;
  void OfferSignIn(const std::string& account, const std::string& text) override;
  // The desktop's notifications, while the tray icon is there.
  bool CanNotify() override;
  void Notify(const std::string& title, const std::string& body, const std::string& signIn) override;

  QSystemTrayIcon* tray() const { return tray_.get(); }
  QMenu* trayMenu() const { return trayMenu_.get(); }
  // Whether a tray exists; tests decide it for the offscreen platform, which has none.
  void SetTrayAvailable(bool available) { trayAvailable_ = available; }

 private:
  MainDialog& dialog_;
  std::unique_ptr<QMenu> trayMenu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  // Made with the tray icon, and gone before it.
  std::unique_ptr<DesktopNotifications> notifications_;
  std::optional<bool> trayAvailable_;
};

}  // namespace vellomar
