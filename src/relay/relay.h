#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/settings.h"
#include "common/window_services.h"
#include "delivery/delivery_services.h"
#include "platform/file_descriptor.h"
#include "platform/thread_handle.h"
#include "platform/thread_tracker.h"
#include "relay/drop_intake.h"
#include "relay/log_file.h"
#include "relay/status_board.h"
#include "relay/status_keeper.h"
#include "spool/relay_services.h"

namespace vellomar {

// One relay: its spool folder with the queue list and the registries, its settings snapshot,
// counters and time limits, its log, and the life of its two sides (the listener and the
// dispatcher, with the sessions and workers they start). The window holds one and forwards the
// user's actions to it; the relay tells the window what changed through WindowServices. Two
// relays can live in one process: nothing here is program-wide.
//
// Lock contract: `clientLock_` guards the dispatcher's handle and its "more work" record; it is
// never held across a wait for the window's thread or a thread's end. The log's lock is the
// innermost of all and nothing waits for the window's thread under it.
class Relay final : public RelayServices {
 public:
  // `directory` is the application directory; `stop` is the flag this relay's shutdown sets
  // (the window's executor watches the same one); `clock` gives the local time (empty: the
  // system's); `signIn` says where sign-in tokens are kept and how providers are reached.
  Relay(std::string directory, StopFlag& stop, WindowServices& window, LocalTimeSource clock = nullptr,
        SignInOptions signIn = {});
  // Stops what still runs and joins every thread before anything they use goes.
  ~Relay() override;

  // The settings. Publishing stamps the snapshot with the next version and makes it the one
  // new deliveries and receptions take.
  void PublishSettings(Settings next);

  // What the delivering side shares: the sign-ins to the next relay's provider.
  DeliveryServices& delivery() { return delivery_; }
  // Where the tokens of the current settings' sign-in are kept, or why it cannot be made, in the
  // log; said on a thread of the relay, as the keyring may take a moment to answer.
  void AnnounceSignIn();
  // A sign-in was made by another process (`vellomar --sign-in`): every token source reads its
  // store again, and the waiting mail is tried at once.
  void ReloadSignIns();

  // The log: `logfile` in the application directory, set aside as `logfile.1` past Logsize.
  bool OpenLog();
  void MoveLogToEnd();
  void CloseLog();
  void AppendLog(const std::string& message) override;

  // The folder's program lock, `vellomar.lock`: false when another program holds it. A folder
  // where the lock cannot even be made is left to the checks that follow.
  bool TakeFolderLock();

  // The folder where local programs hand mail over (vellomar-sendmail); by default "drop" in
  // the application directory, made when missing. Set before Start.
  void SetDropFolder(std::string folder) { dropFolder_ = std::move(folder); }
  const std::string& dropFolder() const { return dropFolder_; }

  // The start of both sides: the receptions a crash cut short are removed, notices left by an
  // interrupted run queued, then the intake of handed-over mail, the listener, the dispatcher
  // and the client timer start.
  void Start();
  void StartServer();
  void StartClient() override;
  // The state buttons: a running side is paused, or resumed when it was paused; one that is
  // not running is launched.
  void ToggleServer();
  void ToggleClient();
  void Flush();
  // Every waiting file (or one) becomes due, and the dispatcher starts or runs again.
  void DeliverNow();
  void DeliverWaitingNow(const std::string& name);
  // Deletes one waiting file, if it is still the very file `shown` identifies (one being
  // delivered goes when its worker lets it go); says in the log what became of it.
  QueueList::Deletion DeleteWaiting(const std::string& name, const FileIdentity& shown);
  // The ordered shutdown: the stop flag, the dispatcher and the listener, the sessions and the
  // workers, the queue list emptied without deleting files, the log closed.
  void Stop();

  bool ServerRunning() const;
  // The listener the relay last started.
  std::shared_ptr<ThreadHandle> ServerThread() const { return serverThread_; }
  bool ClientRunning();
  // The delivering side's thread as last recorded; null once a run ended with nothing left.
  std::shared_ptr<ThreadHandle> ClientThread();
  // Starts `body` as the delivering side's thread (the dispatcher, or a stand-in that holds
  // its place while a caller drives delivery by hand), recorded under the client lock so that
  // its own end finds itself recorded.
  std::shared_ptr<ThreadHandle> StartClientThread(ThreadTracker::Body body);
  // Forgets the recorded thread and returns it.
  std::shared_ptr<ThreadHandle> TakeClientThread();

  // RelayServices.
  void RefreshStatistics() override { window_.RequestRefresh(); }
  void ShowSystemError(SystemError error) override;
  ThreadTracker& threads() override { return threads_; }
  void SetClientImage(bool running) override { window_.SetClientImage(running); }
  void HideWindowOnce() override;
  bool ContinueOrClearClient(const ThreadHandle* dispatcher) override;
  // Kept on the status board, and handed to the window when it is one it notifies of.
  void ReportEvent(const RelayEvent& event) override;

  // What `vellomar --status` is told of this relay beyond its files.
  const StatusBoard& statusBoard() const { return status_; }

  // The account that sends a message from `sender` under the current settings: "default" or
  // its section's name.
  std::string AccountOfSender(const std::string& sender) const;

 private:
  std::shared_ptr<ThreadHandle> LaunchListener();
  std::shared_ptr<ThreadHandle> LaunchDispatcher();
  void StartClientTimer();
  void RemoveIncompleteSpoolFiles();
  void StartDropIntake();
  void StartStatusKeeper();
  std::string AccountOfFile(const std::string& spoolName);
  void SignInNeeded(const std::string& signIn, const std::string& logLine);
  struct ToggleSide {
    const char* resumed;
    const char* paused;
    const char* launching;
    std::shared_ptr<ThreadHandle> (Relay::*launch)();
  };
  // The side's image after the click: true for running.
  bool Toggle(std::shared_ptr<ThreadHandle>& thread, const ToggleSide& side);
  static void EndThread(const std::shared_ptr<ThreadHandle>& thread);

  WindowServices& window_;
  std::mutex logLock_;
  LogFile logFile_;
  // `vellomar.lock` in the application directory, flocked: one program per folder.
  FileDescriptor programLock_;
  std::shared_ptr<ThreadHandle> serverThread_;
  std::mutex clientLock_;
  std::shared_ptr<ThreadHandle> clientThread_;
  // A StartClient that found the dispatcher running; guarded by clientLock_.
  bool moreWork_ = false;
  std::atomic<bool> windowHidden_{false};
  std::mutex publishLock_;
  uint64_t versions_ = 0;
  // Before the threads: their tracker joins every thread while the sign-ins they use live.
  DeliveryServices delivery_;
  std::string dropFolder_;
  // Made by Start, before any thread that wakes it; its thread is joined before it goes.
  std::unique_ptr<DropIntake> intake_;
  // What `vellomar --status` reads beyond the files, and the thread that writes it.
  StatusBoard status_;
  StatusKeeper keeper_;
  // Last, so that it is destroyed first: every thread is joined while what it uses still lives.
  ThreadTracker threads_;
};

}  // namespace vellomar
