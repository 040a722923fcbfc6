#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/local_names.h"
#include "common/login_failures.h"
#include "common/relay_event.h"
#include "common/relay_timings.h"
#include "common/settings.h"
#include "common/shared_value.h"
#include "common/user_file.h"
#include "platform/error_or.h"
#include "platform/local_clock.h"
#include "platform/stop_flag.h"
#include "platform/thread_tracker.h"
#include "platform/wake_event.h"
#include "spool/spool_sync.h"
#include "spool/queue_list.h"
#include "spool/worker_registry.h"

namespace vellomar {

// The four statistics every relay thread counts.
struct RelayCounters {
  std::atomic<uint32_t> receivedAll{0};
  std::atomic<uint32_t> receivedOk{0};
  std::atomic<uint32_t> sentAll{0};
  std::atomic<uint32_t> sentOk{0};
};

// One relay as its threads (listener, sessions, dispatcher, workers, the timer) see it: the
// state they share, and what they may ask of the relay that runs them. They depend on this
// seam, never on the relay object itself, so reception and delivery sit below the relay that
// drives them. `Relay` is the one implementation; two relays in one process share nothing.
//
// Lock contract: the queue list and both registries lock themselves, one at a time; the
// settings snapshot is swapped under a lock of its own held only for the copy. A thread calls
// the service that waits for the window's thread (HideWindowOnce, the first time) and
// RefreshStatistics holding none of them. AppendLog may be called holding any lock: the log's
// own lock is always the innermost.
class RelayServices {
  // First, so that the members below can be built from them.
  const std::string directory_;
  StopFlag& stop_;
  const LocalTimeSource clock_;

 public:
  RelayServices(std::string directory, StopFlag& stop, LocalTimeSource clock)
      : directory_(std::move(directory)),
        stop_(stop),
        clock_(std::move(clock)),
        queue(directory_, clock_),
        spoolSync(directory_),
        knownUsers(directory_ + "/" + kUsersFileName),
        sessionEnded(stop),
        workerEnded(stop),
        tryRecorded(stop) {}
  virtual ~RelayServices() = default;
  RelayServices(const RelayServices&) = delete;
  RelayServices& operator=(const RelayServices&) = delete;

  // The application directory: spool files, the template `error`, the log.
  const std::string& directory() const { return directory_; }
  std::string FilePath(const std::string& name) const { return directory_ + "/" + name; }
  // Set once, as the first step of this relay's shutdown, and never cleared.
  StopFlag& stop() const { return stop_; }
  // A thread's wait should end: the relay stops, or the thread was cancelled.
  bool StopOrCancelled() const;
  // The local time every date text, spool name and log stamp of this relay uses.
  std::tm LocalNow() const { return clock_ ? clock_() : vellomar::LocalNow(); }

  // The settings in use; a delivery keeps the snapshot it started with.
  std::shared_ptr<const Settings> settings() const {
    std::lock_guard<std::mutex> guard(settingsLock_);
    return settings_;
  }

  QueueList queue;
  // Syncs spool files and their names, one sync shared by the sessions and deliveries that
  // need one together.
  SpoolSync spoolSync;
  // Whether anyone can log in on the listener: the users file, read again when it changed.
  KnownUsers knownUsers;
  WorkerRegistry incoming;
  WorkerRegistry outgoing;
  RelayCounters counters;
  // The relay's time limits; set before its threads start.
  RelayTimings timings;
  // Notified whenever a session ends (a listener at its limit looks again), a worker ends (so
  // does the dispatcher), and a try is recorded (the client timer looks at the schedule).
  WakeEvent sessionEnded;
  WakeEvent workerEnded;
  WakeEvent tryRecorded;
  // The host name trace headers name, set by each listener as it starts.
  SharedValue<std::string> localHostName{std::string("localhost")};
  // Aliases, the admin address and the local domain: where a local name goes.
  LocalNames localNames;
  // The port the running listener is bound to, or 0; with several ports, the first.
  std::atomic<int> listeningPort{0};
  // Every port the running listener is bound to, in the order of the Ports setting.
  SharedValue<std::vector<int>> listeningPorts;
  // The SHA-256 of the listener's certificate ("AB:CD:..."), empty without one.
  SharedValue<std::string> listenerFingerprint;
  // Failed logins on the listener, by client address.
  LoginFailures loginFailures;
  // Password checks at once, whoever asks: each costs yescrypt's 16 MiB for as long as it runs,
  // so a hundred sessions logging in together (from as many addresses) must not take 1.6 GB.
  // A session waits for a place, within its command's time limit.
  PasswordCheckPlaces passwordChecks;
  // Called on the listener's thread with each session's client address, spool name and socket
  // as the session is handed to its thread, so that tests can see what a session starts with.
  SharedValue<std::function<void(const std::string& clientAddress, const std::string& spoolName, int socket)>>
      sessionStartObserver;

  // A time-stamped line in the log, the bare message in the notifications box.
  virtual void AppendLog(const std::string& message) = 0;
  // The window rewrites its statistics and lists soon; nobody waits, and the requests of a
  // burst are one refresh.
  virtual void RefreshStatistics() = 0;
  // Starts the dispatcher unless one runs; one that runs is told that new work may wait. Called
  // when a message was stored or a notice queued.
  virtual void StartClient() = 0;
  // Something the relay's people should hear of (common/relay_event.h): kept for `vellomar
  // --status`, and shown as a desktop notification where the window shows them. Nobody waits;
  // called holding none of the relay's locks.
  virtual void ReportEvent(const RelayEvent& event) = 0;
  // Shows the system's text for a failure to the user; whether the caller waits is the face's.
  virtual void ShowSystemError(SystemError error) = 0;
  // Owns every thread of this relay.
  virtual ThreadTracker& threads() = 0;

  // What the dispatcher asks: its image on the client button, the window hidden at the first
  // run when the settings ask for it, and the hand-off at its end (true when more work came
  // while it ran, so it goes on).
  virtual void SetClientImage(bool running) = 0;
  virtual void HideWindowOnce() = 0;
  virtual bool ContinueOrClearClient(const ThreadHandle* dispatcher) = 0;

 protected:
  void ReplaceSettings(std::shared_ptr<const Settings> next) {
    std::lock_guard<std::mutex> guard(settingsLock_);
    settings_ = std::move(next);
  }

 private:
  mutable std::mutex settingsLock_;
  std::shared_ptr<const Settings> settings_ = std::make_shared<const Settings>();
};

}  // namespace vellomar
