#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/relay_timings.h"
#include "platform/thread_handle.h"
#include "platform/thread_tracker.h"

namespace vellomar {

// What the relay threads (listener, sessions, dispatcher, workers, the resolver) may ask of
// the main window, and nothing more: they depend on this seam, never on the window itself, so
// the relay sits below the window that drives it. MainWindow is the one implementation; the
// counters live here because every relay thread counts.
//
// Callers hold none of QueueLock, IncomingLock and OutgoingLock while they call a service that
// waits for the window's thread (RefreshStatistics, the counts, SetClientImage, HideWindow).
// AppendLog may be called holding any lock: LogLock is always the innermost.
class WindowServices {
 public:
  virtual ~WindowServices() = default;
  WindowServices(const WindowServices&) = delete;
  WindowServices& operator=(const WindowServices&) = delete;

  std::atomic<uint32_t> receivedAll{0};
  std::atomic<uint32_t> receivedOk{0};
  std::atomic<uint32_t> sentAll{0};
  std::atomic<uint32_t> sentOk{0};

  // The relay's time limits; set before the relay threads start.
  RelayTimings timings;

  // A time-stamped line in the log, the bare message in the notifications box.
  virtual void AppendLog(const std::string& message) = 0;
  // Rewrites the statistics and the list boxes; returns once that is done (or at the stop).
  virtual void RefreshStatistics() = 0;
  // Entries in the incoming and outgoing list boxes as last rebuilt; "at the limit" once the
  // window's thread can no longer answer, so nothing new starts.
  virtual int IncomingCount() = 0;
  virtual int OutgoingCount() = 0;
  // Starts the dispatcher unless one runs; one that runs is told that new work may wait.
  virtual void StartClient() = 0;
  // Owns every relay thread.
  virtual ThreadTracker& threads() = 0;

  // What the dispatcher asks: its image on the client button, the window hidden at the first
  // run, and the hand-off at its end (true when more work came while it ran, so it goes on).
  virtual void SetClientImage(bool running) = 0;
  virtual void HideWindow() = 0;
  virtual bool ContinueOrClearClient(const ThreadHandle* dispatcher) = 0;

 protected:
  WindowServices() = default;
};

}  // namespace vellomar
