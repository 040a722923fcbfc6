#include "control/main_window.h"

#include <algorithm>
#include <cstdio>

#include "common/window_controls.h"
#include "control/control_ids.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "delivery/delivery_notes.h"
#include "platform/file_system.h"
#include "sign_in/sign_ins.h"

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
bool SelectedSummary(WindowControls& controls, int listId, const WorkerRegistry& registry, MailSummary& summary) {
  std::string selected = controls.ListSelectedText(listId);
  return !selected.empty() && registry.GetSummary(selected, summary);
}

}  // namespace

MainWindow::MainWindow(Executor& windowThread, WindowControls& controls, StopFlag& stop, std::string directory,
                       LocalTimeSource clock, SignInOptions signIn)
    : windowThread_(windowThread),
      controls_(controls),
      relay_(std::move(directory), stop, *this, std::move(clock), std::move(signIn)) {}

bool MainWindow::CheckPrerequisites() {
  if (!relay_.TakeFolderLock()) {
    controls_.ShowMessage("Vellomar is already running from this folder.", "Vellomar");
    return false;
  }
  if (!EntryExists(relay_.FilePath("error"))) {
    controls_.ShowMessage("File named <error> not found in application path", "Error");
    return false;
  }
  if (std::string oversized = OversizedStoreFile(); !oversized.empty()) {
    controls_.ShowMessage("The settings store " + oversized + " is larger than 1 MB and is not read. Move it away.",
                          "Vellomar error");
    return false;
  }
  RegistryKey key = SettingsKey();
  if (key.Read(KeyOf(&Settings::DNS)).empty() && key.Read(KeyOf(&Settings::SMTP)).empty()) {
    controls_.ShowMessage("You must give some configuration information first.", "Vellomar");
    controls_.RunModesDialog();
  }
  if (!relay_.OpenLog()) {
    controls_.ShowMessage("Can't open logfile. Exiting...", "Vellomar error");
    return false;
  }
  return true;
}

void MainWindow::OnInitDialog() {
  LoadedSettings loaded = LoadSettings(SettingsKey());
  relay_.PublishSettings(loaded.settings);
  relay_.MoveLogToEnd();
  relay_.AppendLog("Initializing...");
  relay_.AppendLog("Application folder: " + relay_.directory());
  controls_.AddTrayIcon();
  for (const std::string& problem : loaded.problems) relay_.AppendLog(problem);
  relay_.AnnounceSignIn();
  relay_.Start();
}

void MainWindow::ReloadRelaySettings() {
  std::vector<std::string> problems;
  relay_.PublishSettings(vellomar::ReloadRelaySettings(SettingsKey(), *relay_.settings(), &problems));
  for (const std::string& problem : problems) relay_.AppendLog(problem);
  relay_.AnnounceSignIn();
}

void MainWindow::Shutdown() {
  relay_.Stop();
  controls_.RemoveTrayIcon();
}

void MainWindow::RefreshStatistics() {
  windowThread_.Invoke([this] { RefreshOnWindowThread(); });
}

// A person reads the counters no faster than a few times a second, and under load every
// message asks for a refresh: the window's thread is woken for one per interval at most.
constexpr std::chrono::milliseconds kRefreshInterval{100};

void MainWindow::RequestRefresh() {
  if (windowThread_.IsCurrentThread()) return RefreshOnWindowThread();
  if (refreshQueued_.exchange(true)) return;
  auto sinceLast = std::chrono::steady_clock::now() - lastRefresh_.load();
  auto wait = std::max(std::chrono::milliseconds{0},
                       kRefreshInterval - std::chrono::duration_cast<std::chrono::milliseconds>(sinceLast));
  // Cleared before the refresh reads anything, so that a change after that point asks for
  // another; and after the refresh's time is set, so that the next one waits its interval.
  bool posted = windowThread_.PostAfter(wait, [this] {
    lastRefresh_ = std::chrono::steady_clock::now();
    refreshQueued_ = false;
    RefreshOnWindowThread();
  });
  if (!posted) refreshQueued_ = false;
}

void MainWindow::RefreshOnWindowThread() {
  const RelayCounters& counters = relay_.counters;
  controls_.SetText(kIncomingConnectionsText,
                    Format("Incoming connections : %d", controls_.ListCount(kIncomingList)));
  controls_.SetText(kOutgoingConnectionsText,
                    Format("Outgoing connections : %d", controls_.ListCount(kOutgoingList)));
  controls_.SetText(kReceivedText, Format("E-mails received [ok/all] : %lu / %lu",
                                          static_cast<unsigned long>(counters.receivedOk.load()),
                                          static_cast<unsigned long>(counters.receivedAll.load())));
  controls_.SetText(kSentText, Format("E-mails sent [ok/all] : %lu / %lu",
                                      static_cast<unsigned long>(counters.sentOk.load()),
                                      static_cast<unsigned long>(counters.sentAll.load())));
  ShowIncomingInfo();
  ShowOutgoingInfo();
  relay_.outgoing.FillListBox(controls_, kOutgoingList, kOutgoingInfoPanel);
  relay_.incoming.FillListBox(controls_, kIncomingList, kIncomingInfoPanel);
}

void MainWindow::ShowIncomingInfo() {
  MailSummary summary;
  if (!SelectedSummary(controls_, kIncomingList, relay_.incoming, summary)) return;
  controls_.SetText(kIncomingInfoPanel, Format("Mail from %s\r\n%d recipient(s)\r\nSubject : %s\r\nSize : %d bytes",
                                               summary.sender.c_str(), summary.recipientCount,
                                               summary.subject.c_str(), summary.size));
}

void MainWindow::ShowOutgoingInfo() {
  MailSummary summary;
  if (!SelectedSummary(controls_, kOutgoingList, relay_.outgoing, summary)) return;
  // Outgoing senders and subjects keep the line end of the spool line they came from.
  controls_.SetText(kOutgoingInfoPanel, Format("Mail from %s%d recipient(s)\r\nSubject : %sSize : %d bytes",
                                               summary.sender.c_str(), summary.recipientCount,
                                               summary.subject.c_str(), summary.size));
}

void MainWindow::AppendNotification(const std::string& text, const std::string& logLine) {
  {
    std::lock_guard<std::mutex> guard(waitingLinesLock_);
    waitingLines_.push_back({text, logLine});
    // A hand-over is on its way already and will take this line too.
    if (waitingLines_.size() > 1) return;
  }
  if (windowThread_.Post([this] { ShowWaitingNotifications(); })) return;
  std::lock_guard<std::mutex> guard(waitingLinesLock_);
  waitingLines_.clear();  // the window's thread has stopped: nobody will show them
}

void MainWindow::ShowWaitingNotifications() {
  std::vector<WaitingLine> lines;
  {
    std::lock_guard<std::mutex> guard(waitingLinesLock_);
    lines.swap(waitingLines_);
  }
  for (const WaitingLine& line : lines) controls_.AppendNotification(line.text, line.logLine);
}

void MainWindow::ShowMessage(const std::string& text, const std::string& caption) {
  windowThread_.Post([this, text, caption] { controls_.ShowMessage(text, caption); });
}

void MainWindow::ShowSystemError(const std::string& text) {
  windowThread_.Invoke([this, text] { controls_.ShowSystemError(text); });
}

// Posted, not waited for: the dispatcher sets the client's image at every run, and a relay
// thread must not wait on the window's thread for a picture. Posts keep their order, so the
// last state set is the one shown. Once the relay stops, as for a call that would wait, no
// picture is set any more; a post the stopped window's thread drops had none to set either.
void MainWindow::SetImage(int buttonId, bool running) {
  if (relay_.stop().load()) return;
  (void)windowThread_.Post(
      [this, buttonId, running] { controls_.SetButtonBitmap(buttonId, running ? kRunningBitmap : kStoppedBitmap); });
}

void MainWindow::SetServerImage(bool running) { SetImage(kServerStateButton, running); }

void MainWindow::SetClientImage(bool running) { SetImage(kClientStateButton, running); }

void MainWindow::SignInNeeded(const std::string& account, const std::string& logLine) {
  if (IsAppOnlySignIn(account)) {
    // Nobody can sign in for an application: its credentials are mended at the provider or in
    // its key file, and the check says when they work.
    windowThread_.Post([this, text = WithoutErrorMark(logLine)] {
      controls_.ShowMessage(text + ". Mail to the next relay waits until the application's credentials work again: "
                                   "'vellomar --sign-in --check' tries them and tells this program.",
                            "Vellomar");
    });
    return;
  }
  windowThread_.Post([this, account, text = WithoutErrorMark(logLine)] { controls_.OfferSignIn(account, text); });
}

void MainWindow::ReportEvent(const RelayEvent& event) {
  if (!IsNotified(event.kind) || !relay_.settings()->Notify) return;
  windowThread_.Post([this, event, at = std::chrono::steady_clock::now()] {
    if (controls_.CanNotify()) notifier_.Add(event, at);
  });
}

void MainWindow::ShowDueNotifications(DesktopNotifier::TimePoint now) {
  if (!controls_.CanNotify()) return;
  for (const DesktopNotifier::Notification& shown : notifier_.Due(now)) {
    controls_.Notify(shown.title, shown.body, shown.signIn);
  }
}

void MainWindow::HideWindow() {
  windowThread_.Invoke([this] { controls_.SetWindowVisible(false); });
}

}  // namespace vellomar
