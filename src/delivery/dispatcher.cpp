#include "delivery/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "delivery/worker.h"
#include "platform/thread_tracker.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// At the Output limit the dispatcher looks again after this long, or as soon as a worker ends.
constexpr std::chrono::milliseconds kLimitWait{100};

// When no delivery runs, the names held after delayed deliveries are released (their files
// are tried again in this run once due) or, when a Flush marked them, deleted. While
// deliveries run, only the held names whose retry time has come are, so that steady traffic
// does not keep a due file waiting for a moment with nothing to deliver.
void ReleaseHeldNames(RelayServices& relay) {
  std::vector<std::string> delivering = relay.outgoing.Names();
  // No worker starts meanwhile: only this thread starts them.
  if (delivering.empty()) {
    relay.queue.Clear(false);
  } else {
    relay.queue.ReleaseDue(delivering);
  }
}

// A delivery's last guard: a fault nobody foresaw ends this run over the file, whose name
// stays held, so that it is tried again after the next clearing like any held file.
int GuardedWorker(RelayServices& relay, DeliveryServices& delivery, const std::string& name) {
  try {
    return WorkerThread(relay, delivery, name);
  } catch (...) {
    relay.AppendLog("Error : delivery of " + name + " ended by an unexpected fault: " + CurrentExceptionText());
    relay.outgoing.RemoveWorker(name);
    relay.RefreshStatistics();
    relay.workerEnded.Notify();
    return ThreadTracker::kFaultExitCode;
  }
}

// A worker that cannot start leaves the file waiting.
void StartWorker(RelayServices& relay, DeliveryServices& delivery, const std::string& name) {
  auto thread = relay.outgoing.Launch(name, [&relay, &delivery, &name] {
    return relay.threads().Run([&relay, &delivery, name](ThreadHandle&) { return GuardedWorker(relay, delivery, name); });
  });
  if (thread == nullptr) (void)relay.queue.Discard(name, false);  // the name alone; the file waits on
}

void DispatchWaitingFiles(RelayServices& relay, DeliveryServices& delivery, ThreadHandle& self) {
  // Each run lists the folder once more, so that it also sees files nobody announced.
  relay.queue.Rescan();
  std::string name;
  bool taken = relay.queue.TakeNextFile(name);
  // A Flush does not end the run: the files it marked are deleted by their workers, and
  // files stored after it go on being delivered.
  while (!relay.stop().load() && taken) {
    if (!self.PassGate()) return;
    if (relay.outgoing.size() >= static_cast<size_t>(std::max<int32_t>(1, relay.settings()->Output))) {
      relay.workerEnded.WaitFor(kLimitWait);
      continue;
    }
    if (!self.PassGate()) return;
    StartWorker(relay, delivery, name);
    taken = relay.queue.TakeNextFile(name);
    relay.RefreshStatistics();
  }
}

}  // namespace

int DispatcherThread(RelayServices& relay, DeliveryServices& delivery, ThreadHandle& self) {
  relay.HideWindowOnce();
  relay.SetClientImage(true);
  relay.AppendLog("Client started.");
  ReleaseHeldNames(relay);
  for (;;) {
    DispatchWaitingFiles(relay, delivery, self);
    relay.AppendLog("Client stopped: no files left.");
    relay.SetClientImage(false);
    // A message stored while this run was ending must not wait for the next timer tick.
    if (!relay.ContinueOrClearClient(&self)) break;
    relay.SetClientImage(true);
    relay.AppendLog("Client started.");
    ReleaseHeldNames(relay);
  }
  return relay.stop().load() ? 0 : 1;
}

}  // namespace vellomar
