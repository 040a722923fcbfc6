#include "control/memory_controls.h"

#include <algorithm>

#include "control/control_ids.h"

namespace vellomar {

int MemoryControls::ListCount(int listId) {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(lists_[listId].items.size());
}

std::string MemoryControls::ListItem(int listId, int index) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto& items = lists_[listId].items;
  return index >= 0 && static_cast<size_t>(index) < items.size() ? items[index] : std::string();
}

int MemoryControls::ListSelection(int listId) {
  std::lock_guard<std::mutex> guard(lock_);
  return lists_[listId].selection;
}

void MemoryControls::ListSelect(int listId, int index) {
  std::lock_guard<std::mutex> guard(lock_);
  ListBox& list = lists_[listId];
  list.selection = index >= 0 && static_cast<size_t>(index) < list.items.size() ? index : -1;
}

void MemoryControls::ListClear(int listId) {
  std::lock_guard<std::mutex> guard(lock_);
  lists_[listId] = ListBox{};
}

void MemoryControls::ListAppend(int listId, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  lists_[listId].items.push_back(text);
}

std::vector<std::string> MemoryControls::ListItems(int listId) {
  std::lock_guard<std::mutex> guard(lock_);
  return lists_[listId].items;
}

void MemoryControls::SetText(int id, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  texts_[id] = text;
}

std::string MemoryControls::Text(int id) {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_[id];
}

void MemoryControls::AppendNotification(const std::string& text, const std::string&) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string& box = texts_[kNotificationsBox];
  box += text;
  notificationLines_ += static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  if (notificationLines_ <= kNotificationLines) return;
  // Drop the oldest lines in one go, so a long run costs no more than a full box.
  size_t drop = notificationLines_ - kNotificationLines;
  size_t cut = 0;
  for (size_t i = 0; i < drop; ++i) cut = box.find('\n', cut) + 1;
  box.erase(0, cut);
  notificationLines_ = kNotificationLines;
}

void MemoryControls::ShowMessage(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> guard(lock_);
  messages_.push_back({text, caption});
}

std::vector<MemoryControls::Message> MemoryControls::Messages() {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

void MemoryControls::SetButtonBitmap(int buttonId, int bitmapId) {
  std::lock_guard<std::mutex> guard(lock_);
  bitmaps_[buttonId] = bitmapId;
}

int MemoryControls::ButtonBitmap(int buttonId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = bitmaps_.find(buttonId);
  return found == bitmaps_.end() ? 0 : found->second;
}

void MemoryControls::SetWindowVisible(bool visible) {
  std::lock_guard<std::mutex> guard(lock_);
  visible_ = visible;
}

bool MemoryControls::WindowVisible() {
  std::lock_guard<std::mutex> guard(lock_);
  return visible_;
}

void MemoryControls::ShowSystemError(const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    systemErrors_.push_back(text);
  }
  WindowControls::ShowSystemError(text);
}

std::vector<std::string> MemoryControls::SystemErrors() {
  std::lock_guard<std::mutex> guard(lock_);
  return systemErrors_;
}

bool MemoryControls::CanNotify() {
  std::lock_guard<std::mutex> guard(lock_);
  return tray_;
}

void MemoryControls::Notify(const std::string& title, const std::string& body, const std::string& signIn) {
  std::lock_guard<std::mutex> guard(lock_);
  if (tray_) notifications_.push_back({title, body, signIn});
}

void MemoryControls::SetTray(bool present) {
  std::lock_guard<std::mutex> guard(lock_);
  tray_ = present;
}

std::vector<MemoryControls::Notification> MemoryControls::Notifications() {
  std::lock_guard<std::mutex> guard(lock_);
  return notifications_;
}

}  // namespace vellomar
