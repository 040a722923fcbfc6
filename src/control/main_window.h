#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/window_services.h"
#include "control/desktop_notifier.h"
#include "platform/executor.h"
#include "platform/local_clock.h"
#include "platform/stop_flag.h"
#include "relay/relay.h"

namespace vellomar {

class WindowControls;

// The main window as the core sees it: a view of one relay. It holds the relay, forwards the
// user's actions to it, and shows what the relay tells it (WindowServices) in the controls.
// Controls are only ever touched on the window's thread; a call from elsewhere hands its work
// there through the executor.
//
// Lock contract: the refresh takes the registries' own locks, one after the other, on the
// window's thread; nothing here holds a lock across a wait for the window's thread. The lines
// waiting for the notifications list have a lock of their own, taken inside the log's lock
// (the relay hands lines over under it) and never held while calling out: the innermost.
class MainWindow final : public WindowServices {
 public:
  // `directory` is the application directory; `stop` is the flag the window's executor watches,
  // which the relay's shutdown sets.
  MainWindow(Executor& windowThread, WindowControls& controls, StopFlag& stop, std::string directory,
             LocalTimeSource clock = nullptr, SignInOptions signIn = {});
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  Relay& relay() { return relay_; }

  // Takes the folder's program lock (held while this object lives), checks the template and
  // the store, asks for a configuration when none is stored, opens the log; false when the
  // program cannot start. When another program holds the lock it says so and touches nothing
  // else.
  bool CheckPrerequisites();
  // The window's start, in its order: the settings read and handed to the relay, the first log
  // lines, the tray icon, then the relay's two sides.
  void OnInitDialog();
  // After a confirmed Modes or account dialog: the next relay's values are read again and
  // handed to the relay as a new snapshot.
  void ReloadRelaySettings();

  // The user's actions, forwarded to the relay, on the window's thread.
  void ToggleServer() { relay_.ToggleServer(); }
  void ToggleClient() { relay_.ToggleClient(); }
  void FlushQueue() { relay_.Flush(); }
  void DeliverNow() { relay_.DeliverNow(); }
  void DeliverWaitingNow(const std::string& name) { relay_.DeliverWaitingNow(name); }
  QueueList::Deletion DeleteWaiting(const std::string& name, const FileIdentity& shown) {
    return relay_.DeleteWaiting(name, shown);
  }
  // The relay's ordered shutdown, then the tray icon goes.
  void Shutdown();

  // Run on the window's thread: fill panel 1017 (1016) from the entry selected in list box
  // 1007 (1008); nothing selected or no such entry leaves the panel as it is.
  void ShowIncomingInfo();
  void ShowOutgoingInfo();

  // WindowServices.
  void AppendNotification(const std::string& text, const std::string& logLine) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void ShowSystemError(const std::string& text) override;
  void RefreshStatistics() override;
  void RequestRefresh() override;
  void SetServerImage(bool running) override;
  void SetClientImage(bool running) override;
  void HideWindow() override;
  void SignInNeeded(const std::string& account, const std::string& logLine) override;
  // Held for the desktop's notifications, unless `Notify` is 0 or the face has no tray.
  void ReportEvent(const RelayEvent& event) override;

  // Run on the window's thread, by the face's timer: the desktop notifications due at `now`
  // are shown.
  void ShowDueNotifications(DesktopNotifier::TimePoint now = std::chrono::steady_clock::now());

  Executor& windowThread() { return windowThread_; }
  WindowControls& controls() { return controls_; }

 private:
  void RefreshOnWindowThread();
  void SetImage(int buttonId, bool running);
  void ShowWaitingNotifications();

  Executor& windowThread_;
  // A requested refresh is queued on the window's thread and has not begun.
  std::atomic<bool> refreshQueued_{false};
  // When the last requested refresh began.
  std::atomic<std::chrono::steady_clock::time_point> lastRefresh_{};
  // Log lines for the notifications list that the window's thread has not taken yet: one
  // hand-over takes all there are, so a burst of lines costs the window's thread one wake-up.
  struct WaitingLine {
    std::string text;
    std::string logLine;
  };
  std::mutex waitingLinesLock_;
  std::vector<WaitingLine> waitingLines_;
  WindowControls& controls_;
  // Used on the window's thread only.
  DesktopNotifier notifier_;
  // Last: its threads are joined before the window they report to goes.
  Relay relay_;
};

}  // namespace vellomar
