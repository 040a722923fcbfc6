#pragma once

#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common/window_controls.h"

namespace vellomar {

// The window kept in memory: the console face's window and the tests'. Its own lock lets a
// test read it from any thread; the program itself uses it on the window's thread only.
class MemoryControls : public WindowControls {
 public:
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
  void SetButtonBitmap(int buttonId, int bitmapId) override;
  int ButtonBitmap(int buttonId) override;
  void SetWindowVisible(bool visible) override;
  bool WindowVisible() override;
  void ShowSystemError(const std::string& text) override;
  // Notifications are kept only once a test says the face has a tray; the console face has none.
  bool CanNotify() override;
  void Notify(const std::string& title, const std::string& body, const std::string& signIn) override;

  std::vector<std::string> ListItems(int listId);
  struct Message {
    std::string text;
    std::string caption;
  };
  std::vector<Message> Messages();
  // The system error texts shown, oldest first.
  std::vector<std::string> SystemErrors();
  struct Notification {
    std::string title;
    std::string body;
    std::string signIn;
    bool operator==(const Notification&) const = default;
    // For a test's failure message.
    friend std::ostream& operator<<(std::ostream& out, const Notification& n) {
      return out << "{\"" << n.title << "\", \"" << n.body << "\", \"" << n.signIn << "\"}";
    }
  };
  void SetTray(bool present);
  std::vector<Notification> Notifications();

  // The notifications box keeps this many of its newest lines.
  static constexpr size_t kNotificationLines = 1000;

 private:
  struct ListBox {
    std::vector<std::string> items;
    int selection = -1;
  };

  std::mutex lock_;
  std::map<int, ListBox> lists_;
  std::map<int, std::string> texts_;
  std::map<int, int> bitmaps_;
  std::vector<Message> messages_;
  std::vector<std::string> systemErrors_;
  size_t notificationLines_ = 0;
  bool tray_ = false;
  std::vector<Notification> notifications_;
  bool visible_ = true;
};

}  // namespace vellomar
