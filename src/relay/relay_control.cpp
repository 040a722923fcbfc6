// The relay's life: the start of both sides, pause and resume, flush and deliver now, and the
// ordered shutdown.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>

#include "delivery/dispatcher.h"
#include "delivery/notice_leftovers.h"
#include "relay/incomplete_receptions.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "relay/relay.h"
#include "smtp_server/listener.h"

namespace vellomar {

namespace {

bool IsThreadRunning(const std::shared_ptr<ThreadHandle>& thread) { return thread != nullptr && thread->IsRunning(); }

}  // namespace

std::shared_ptr<ThreadHandle> Relay::LaunchListener() {
  return threads_.Start([this](ThreadHandle& self) { return ListenerThread(*this, self); });
}

std::shared_ptr<ThreadHandle> Relay::LaunchDispatcher() {
  return threads_.Run([this](ThreadHandle& self) { return DispatcherThread(*this, delivery_, self); });
}

void Relay::Start() {
  intake_ = std::make_unique<DropIntake>(*this, dropFolder_.empty() ? FilePath("drop") : dropFolder_);
  StartClientTimer();
  counters.receivedAll = counters.receivedOk = counters.sentAll = counters.sentOk = 0;
  RefreshStatistics();
  RemoveIncompleteSpoolFiles();
  QueueLeftoverNotices(*this);
  StartDropIntake();
  StartStatusKeeper();
  StartServer();
  StartClient();
}

void Relay::StartStatusKeeper() {
  status_.Begin(OwnProcessId(), std::time(nullptr));
  threads_.Start([this](ThreadHandle& self) { return keeper_.Run(self); });
}

void Relay::StartServer() {
  if (IsThreadRunning(serverThread_)) return;
  AppendLog("Server starting...");
  serverThread_ = LaunchListener();
  window_.SetServerImage(serverThread_ != nullptr);
}

void Relay::StartClient() {
  if (stop().load()) return;
  {
    std::lock_guard<std::mutex> guard(clientLock_);
    if (IsThreadRunning(clientThread_)) {
      moreWork_ = true;
      return;
    }
    AppendLog("Client starting...");
    clientThread_ = LaunchDispatcher();
    // A dispatcher shows its own image as it runs and ends.
    if (clientThread_ != nullptr) return;
  }
  // Outside the lock: the window's thread may be waiting for it in a click.
  window_.SetClientImage(false);
}

bool Relay::ContinueOrClearClient(const ThreadHandle* dispatcher) {
  std::lock_guard<std::mutex> guard(clientLock_);
  if (clientThread_.get() != dispatcher) return false;
  if (moreWork_ && !stop().load()) {
    moreWork_ = false;
    return true;
  }
  moreWork_ = false;
  clientThread_.reset();
  return false;
}

std::shared_ptr<ThreadHandle> Relay::ClientThread() {
  std::lock_guard<std::mutex> guard(clientLock_);
  return clientThread_;
}

std::shared_ptr<ThreadHandle> Relay::StartClientThread(ThreadTracker::Body body) {
  std::lock_guard<std::mutex> guard(clientLock_);
  clientThread_ = threads_.Start(std::move(body));
  return clientThread_;
}

std::shared_ptr<ThreadHandle> Relay::TakeClientThread() {
  std::lock_guard<std::mutex> guard(clientLock_);
  return std::move(clientThread_);
}

bool Relay::ServerRunning() const { return IsThreadRunning(serverThread_); }

bool Relay::ClientRunning() {
  std::lock_guard<std::mutex> guard(clientLock_);
  return IsThreadRunning(clientThread_);
}

// The toggle logic of both state buttons: a running thread is paused, or resumed when it was
// paused (its previous suspend count says which); one that is not running is launched.
bool Relay::Toggle(std::shared_ptr<ThreadHandle>& thread, const ToggleSide& side) {
  if (IsThreadRunning(thread)) {
    if (thread->Suspend() == 1) {
      thread->Resume();
      thread->Resume();
      AppendLog(side.resumed);
      return true;
    }
    AppendLog(side.paused);
    return false;
  }
  AppendLog(side.launching);
  thread = (this->*side.launch)();
  return thread != nullptr;
}

void Relay::ToggleServer() {
  bool running = Toggle(serverThread_, {"Server thread resumed.", "Server thread paused.", "Launching server...",
                                        &Relay::LaunchListener});
  window_.SetServerImage(running);
}

void Relay::ToggleClient() {
  // A client launched by hand tries every waiting file at once, whatever its retry time.
  if (!ClientRunning()) queue.MakeAllDue();
  bool running;
  {
    std::lock_guard<std::mutex> guard(clientLock_);
    running = Toggle(clientThread_, {"Client thread resumed.", "Client thread paused.", "Launching client...",
                                     &Relay::LaunchDispatcher});
  }
  window_.SetClientImage(running);
}

void Relay::DeliverNow() {
  AppendLog("Delivering every waiting e-mail now.");
  queue.MakeAllDue();
  StartClient();
}

void Relay::DeliverWaitingNow(const std::string& name) {
  AppendLog("Delivering " + name + " now.");
  queue.MakeDue(name);
  StartClient();
}

QueueList::Deletion Relay::DeleteWaiting(const std::string& name, const FileIdentity& shown) {
  using Deletion = QueueList::Deletion;
  Deletion outcome = queue.DeleteWaitingFile(name, shown);
  if (outcome == Deletion::Deleted) AppendLog("Deleted waiting e-mail " + name);
  if (outcome == Deletion::Gone) AppendLog("Waiting e-mail " + name + " has gone since it was shown; nothing deleted");
  if (outcome == Deletion::Refused) AppendLog("Error : can't delete waiting e-mail " + name);
  return outcome;
}

void Relay::Flush() {
  AppendLog("Flushing...");
  (void)queue.Flush();  // a file that could not be deleted waits on; the next listing finds it
}

// Up to 1000 ms to end by itself, then cancelled (its blocking call returns at once) and
// waited for.
void Relay::EndThread(const std::shared_ptr<ThreadHandle>& thread) {
  if (!IsThreadRunning(thread) || thread->WaitFor(std::chrono::milliseconds(1000))) return;
  thread->Cancel();
  thread->Wait();
}

void Relay::Stop() {
  stop().Set();
  std::shared_ptr<ThreadHandle> client;
  {
    std::lock_guard<std::mutex> guard(clientLock_);
    client = clientThread_;
  }
  if (IsThreadRunning(client)) {
    while (client->Resume() > 1) {
    }
  }
  EndThread(client);
  AppendLog("Client terminated.");
  EndThread(serverThread_);
  AppendLog("Server terminated.");
  incoming.TerminateAll();
  AppendLog("Input threads deleted.");
  outgoing.TerminateAll();
  AppendLog("Output threads deleted.");
  queue.Clear(false);
  AppendLog("File list now empty.");
  CloseLog();
}

// Posts StartClient once per period, as a window timer would, and also when a file that waited
// for its retry time becomes due, so a retry after a minute does not wait for the half-hour tick.
void Relay::StartClientTimer() {
  threads_.Start([this](ThreadHandle&) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point tick = Clock::now() + timings.clientTimerPeriod;
    while (!stop().load()) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(tick - Clock::now());
      auto retry = queue.UntilNextTry();
      bool retryFirst = retry && *retry < wait;
      // Woken by a newly recorded try: the schedule is looked at again.
      if (tryRecorded.WaitFor(std::max(std::chrono::milliseconds(0), retryFirst ? *retry : wait))) continue;
      if (stop().load()) break;
      if (!retryFirst) {
        tick = Clock::now() + timings.clientTimerPeriod;
        intake_->Wake();
      }
      StartClient();
    }
    return 0;
  });
}

void Relay::StartDropIntake() {
  // The program's own folder is made here; a folder named for it (the system's) is the
  // package's to make, with the rights that let every user hand mail over.
  if (intake_->folder() == FilePath("drop") && !EntryExists(intake_->folder())) (void)MakeDirectory(intake_->folder(), 0700);  // a failure shows as a folder not taken in
  threads_.Start([this](ThreadHandle& self) { return intake_->Run(self); });
}

void Relay::RemoveIncompleteSpoolFiles() {
  for (const std::string& name : RemoveIncompleteReceptions(directory())) AppendLog("Removed incomplete spool file " + name);
}

}  // namespace vellomar
