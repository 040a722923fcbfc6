#include "delivery/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "common/flags.h"
#include "common/settings.h"
#include "common/window_services.h"
#include "delivery/worker.h"
#include "platform/wake_event.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

// At the Output limit the dispatcher looks again after this long, or as soon as a worker ends.
constexpr std::chrono::milliseconds kLimitWait{100};

bool TakeNext(std::string& name) {
  std::lock_guard<std::mutex> guard(QueueLock());
  return TheQueueList().TakeNextFile(name);
}

// When no delivery is shown, the names held after delayed deliveries are released (their
// files are tried again in this run once due) or, when a Flush marked them, deleted. While
// deliveries run, only the held names whose retry time has come are, so that steady traffic
// does not keep a due file waiting for a moment with nothing to deliver.
void ReleaseHeldNames(WindowServices& window) {
  if (window.OutgoingCount() == 0) {
    std::lock_guard<std::mutex> guard(QueueLock());
    TheQueueList().Clear(false);
    return;
  }
  std::vector<std::string> delivering;
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    delivering = OutgoingRegistry().Names();
  }
  // No worker starts meanwhile: only this thread starts them.
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().ReleaseDue(delivering);
}

// Each run lists the folder once more, so that it also sees files nobody announced.
void Rescan() {
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().Rescan();
}

// Starts the worker and registers it under one hold of OutgoingLock, so the worker's first
// registry access finds its entry. A worker that cannot start leaves the file waiting.
void StartWorker(WindowServices& window, const std::string& name) {
  std::shared_ptr<ThreadHandle> thread;
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    thread = window.threads().Start([&window, name](ThreadHandle&) { return WorkerThread(window, name); });
    if (thread) OutgoingRegistry().AddWorker(thread, name);
  }
  if (thread) return;
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().Discard(name, false);
}

void DispatchWaitingFiles(WindowServices& window, ThreadHandle& self) {
  Rescan();
  std::string name;
  bool taken = TakeNext(name);
  // A Flush does not end the run: the files it marked are deleted by their workers, and
  // files stored after it go on being delivered.
  while (!stopRequested.load() && taken) {
    if (!self.PassGate()) return;
    if (window.OutgoingCount() >= std::max<int32_t>(1, TheSettings().Output)) {
      WorkerEnded().WaitFor(kLimitWait);
      continue;
    }
    if (!self.PassGate()) return;
    StartWorker(window, name);
    taken = TakeNext(name);
    window.RefreshStatistics();
  }
}

}  // namespace

int DispatcherThread(WindowServices& window, ThreadHandle& self) {
  if (TheSettings().Minimize.exchange(false)) window.HideWindow();
  window.SetClientImage(true);
  window.AppendLog("Client started.");
  ReleaseHeldNames(window);
  for (;;) {
    DispatchWaitingFiles(window, self);
    window.AppendLog("Client stopped: no files left.");
    window.SetClientImage(false);
    // A message stored while this run was ending must not wait for the next timer tick.
    if (!window.ContinueOrClearClient(&self)) break;
    window.SetClientImage(true);
    window.AppendLog("Client started.");
    ReleaseHeldNames(window);
  }
  return stopRequested.load() ? 0 : 1;
}

}  // namespace vellomar
