#include "control/main_window.h"

#include <climits>
#include <cstdio>

#include "common/flags.h"
#include "common/window_controls.h"
#include "control/control_ids.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  int length = std::snprintf(nullptr, 0, format, args...);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

// The panel text of the selected entry of a list box, or nothing when no entry is selected
// or the registry no longer knows it.
bool SelectedSummary(WindowControls& controls, int listId, WorkerRegistry& registry, MailSummary& summary) {
  std::string selected = controls.ListSelectedText(listId);
  if (selected.empty()) return false;
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.GetSummary(selected, summary);
}

}  // namespace

void MainWindow::RefreshStatistics() {
  windowThread_.Invoke([this] { RefreshOnWindowThread(); });
}

void MainWindow::RefreshOnWindowThread() {
  controls_.SetText(kIncomingConnectionsText,
                    Format("Incoming connections : %d", controls_.ListCount(kIncomingList)));
  controls_.SetText(kOutgoingConnectionsText,
                    Format("Outgoing connections : %d", controls_.ListCount(kOutgoingList)));
  controls_.SetText(kReceivedText, Format("E-mails received [ok/all] : %lu / %lu",
                                          static_cast<unsigned long>(receivedOk.load()),
                                          static_cast<unsigned long>(receivedAll.load())));
  controls_.SetText(kSentText, Format("E-mails sent [ok/all] : %lu / %lu", static_cast<unsigned long>(sentOk.load()),
                                      static_cast<unsigned long>(sentAll.load())));
  ShowIncomingInfo();
  ShowOutgoingInfo();
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    OutgoingRegistry().FillListBox(controls_, kOutgoingList, kOutgoingInfoPanel);
  }
  std::lock_guard<std::mutex> guard(IncomingLock());
  IncomingRegistry().FillListBox(controls_, kIncomingList, kIncomingInfoPanel);
}

void MainWindow::ShowIncomingInfo() {
  MailSummary summary;
  if (!SelectedSummary(controls_, kIncomingList, IncomingRegistry(), summary)) return;
  controls_.SetText(kIncomingInfoPanel, Format("Mail from %s\r\n%d recipient(s)\r\nSubject : %s\r\nSize : %d bytes",
                                               summary.sender.c_str(), summary.recipientCount,
                                               summary.subject.c_str(), summary.size));
}

void MainWindow::ShowOutgoingInfo() {
  MailSummary summary;
  if (!SelectedSummary(controls_, kOutgoingList, OutgoingRegistry(), summary)) return;
  // Outgoing senders and subjects keep the line end of the spool line they came from.
  controls_.SetText(kOutgoingInfoPanel, Format("Mail from %s%d recipient(s)\r\nSubject : %sSize : %d bytes",
                                               summary.sender.c_str(), summary.recipientCount,
                                               summary.subject.c_str(), summary.size));
}

int MainWindow::CountOf(int listId) {
  auto count = windowThread_.InvokeFor<int>([this, listId] { return controls_.ListCount(listId); });
  return count ? *count : INT_MAX;
}

int MainWindow::IncomingCount() { return CountOf(kIncomingList); }

int MainWindow::OutgoingCount() { return CountOf(kOutgoingList); }

void MainWindow::SetClientImage(bool running) {
  windowThread_.Invoke(
      [this, running] { controls_.SetButtonBitmap(kClientStateButton, running ? kRunningBitmap : kStoppedBitmap); });
}

void MainWindow::HideWindow() {
  windowThread_.Invoke([this] { controls_.SetWindowVisible(false); });
}

void MainWindow::AppendNotification(const std::string& text, const std::string& logLine) {
  windowThread_.Post([this, text, logLine] { controls_.AppendNotification(text, logLine); });
}

void MainWindow::ShowMessageBox(const std::string& text, const std::string& caption) {
  windowThread_.Post([this, text, caption] { controls_.ShowMessage(text, caption); });
}

}  // namespace vellomar
