#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/window_services.h"
#include "control/log_file.h"
#include "platform/executor.h"
#include "platform/file_descriptor.h"
#include "platform/thread_handle.h"
#include "platform/thread_tracker.h"
#include "spool/queue_list.h"

namespace vellomar {

class WindowControls;

// The one main window: the controller, and the services the relay threads reach through
// WindowServices. Controls are only ever touched on the window's
// thread; a service called elsewhere hands its work there through the executor.
//
// Callers hold none of QueueLock, IncomingLock and OutgoingLock while they call a service
// that waits for the window's thread (RefreshStatistics, the counts, SetClientImage,
// HideWindow): the refresh itself takes OutgoingLock and IncomingLock, one after the other.
class MainWindow : public WindowServices {
 public:
  MainWindow(Executor& windowThread, WindowControls& controls, ThreadTracker& threads)
      : windowThread_(windowThread), controls_(controls), threads_(threads) {}
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Rewrites the statistics and info panels and rebuilds each list box whose registry
  // changed; returns once that is done (or once the stop flag ends the wait).
  void RefreshStatistics() override;

  // Entry counts of list boxes 1007 and 1008 as last rebuilt. When the window's thread can
  // no longer answer (shutdown), the count reads as "at the limit", so nothing new starts.
  int IncomingCount() override;
  int OutgoingCount() override;

  // Button 1014 shows bitmap 135 (running) or 136 (ended).
  void SetClientImage(bool running) override;
  void HideWindow() override;
  // Appends text to the notifications box, in call order, without waiting.
  void AppendNotification(const std::string& text, const std::string& logLine);
  // Shows a message box on the window's thread; the caller does not wait for it.
  void ShowMessageBox(const std::string& text, const std::string& caption);

  // The log: a time-stamped line in `logfile`, the bare message in the notifications box.
  // Any thread may log, holding any other lock: LogLock is always the innermost, and
  // nothing waits for the window's thread while holding it.
  std::mutex LogLock;
  // Opens `logfile` keeping its content (start-up); false when it cannot be opened.
  bool OpenLog();
  // Moves the write position to the end, so new lines are appended.
  void MoveLogToEnd();
  void AppendLog(const std::string& message) override;
  // From here on AppendLog does nothing.
  void CloseLog();

  // The controller. Everything but StartClient runs on the window's thread.
  //
  // Takes the folder's program lock (held while this object lives), checks the template,
  // asks for a configuration when none is stored, opens the log; false when the program
  // cannot start. When another program holds the lock it says so and touches nothing else.
  bool CheckPrerequisites();
  void OnInitDialog();
  void StartServer();
  // Starts the dispatcher unless one runs; one that runs is told that new work may wait.
  // Any thread may call it; nothing happens once the stop flag is set.
  void StartClient() override;
  void ToggleServer();
  void ToggleClient();
  void FlushQueue();
  // Every waiting file becomes due, and the dispatcher starts (or, running, runs again).
  void DeliverNow();
  // The same for one waiting file.
  void DeliverWaitingNow(const std::string& name);
  // Deletes one waiting file, if it is still the very file `shown` identifies (one being
  // delivered goes when its worker lets it go); says in the log what became of it.
  QueueList::Deletion DeleteWaiting(const std::string& name, const FileIdentity& shown);
  void Shutdown();
  static bool IsThreadRunning(const std::shared_ptr<ThreadHandle>& thread);

  // The dispatcher, about to end: true (and the record cleared) when a StartClient came
  // while it ran, so it goes back to taking files; otherwise its handle is cleared.
  bool ContinueOrClearClient(const ThreadHandle* dispatcher) override;

  // The listener the controller last started.
  std::shared_ptr<ThreadHandle> serverThread;

  // Run on the window's thread: fill panel 1017 (1016) from the entry selected in list box
  // 1007 (1008); nothing selected or no such entry leaves the panel as it is.
  void ShowIncomingInfo();
  void ShowOutgoingInfo();

  // The dispatcher the controller last started. StartClient, ToggleClient and the
  // dispatcher's own clearing hold clientLock, so that never two dispatchers run; nobody
  // holds it across a wait for the window's thread.
  std::mutex clientLock;
  std::shared_ptr<ThreadHandle> clientThread;

  Executor& windowThread() { return windowThread_; }
  WindowControls& controls() { return controls_; }
  ThreadTracker& threads() override { return threads_; }


 private:
  void RefreshOnWindowThread();
  int CountOf(int listId);

  Executor& windowThread_;
  WindowControls& controls_;
  ThreadTracker& threads_;
  LogFile logFile_;
  // `vellomar.lock` in the application directory, flocked: one program per folder.
  FileDescriptor programLock_;
  bool TakeProgramLock();
  // A StartClient that found the dispatcher running; guarded by clientLock.
  bool moreWork_ = false;
  void StartClientTimer();
  void RemoveIncompleteSpoolFiles();
  std::shared_ptr<ThreadHandle> LaunchDispatcher();
  std::shared_ptr<ThreadHandle> LaunchListener();
  struct ToggleSide {
    int button;
    const char* resumed;
    const char* paused;
    const char* launching;
    std::shared_ptr<ThreadHandle> (MainWindow::*launch)();
  };
  void Toggle(std::shared_ptr<ThreadHandle>& thread, const ToggleSide& side);
  void EndThread(const std::shared_ptr<ThreadHandle>& thread);
};

}  // namespace vellomar
