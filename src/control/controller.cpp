// The controller's operations on the two long-running threads: start, pause and resume,
// flush, and the ordered shutdown.
#include <mutex>

#include "common/flags.h"
#include "common/window_controls.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "delivery/delivery_notes.h"
#include "delivery/dispatcher.h"
#include "smtp_server/listener.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

int StateBitmap(bool running) { return running ? kRunningBitmap : kStoppedBitmap; }

}  // namespace

bool MainWindow::IsThreadRunning(const std::shared_ptr<ThreadHandle>& thread) {
  return thread != nullptr && thread->IsRunning();
}

std::shared_ptr<ThreadHandle> MainWindow::LaunchListener() {
  return threads_.Start([this](ThreadHandle& self) { return ListenerThread(*this, self); });
}

std::shared_ptr<ThreadHandle> MainWindow::LaunchDispatcher() {
  return threads_.Start([this](ThreadHandle& self) { return DispatcherThread(*this, self); });
}

void MainWindow::StartServer() {
  if (IsThreadRunning(serverThread)) return;
  AppendLog("Server starting...");
  serverThread = LaunchListener();
  controls_.SetButtonBitmap(kServerStateButton, StateBitmap(serverThread != nullptr));
}

void MainWindow::StartClient() {
  if (stopRequested.load()) return;
  std::lock_guard<std::mutex> guard(clientLock);
  if (IsThreadRunning(clientThread)) {
    moreWork_ = true;
    return;
  }
  AppendLog("Client starting...");
  clientThread = LaunchDispatcher();
  // Posted, not awaited: the caller may be a session thread, and holds clientLock.
  bool started = clientThread != nullptr;
  windowThread_.Post([this, started] { controls_.SetButtonBitmap(kClientStateButton, StateBitmap(started)); });
}

bool MainWindow::ContinueOrClearClient(const ThreadHandle* dispatcher) {
  std::lock_guard<std::mutex> guard(clientLock);
  if (clientThread.get() != dispatcher) return false;
  if (moreWork_ && !stopRequested.load()) {
    moreWork_ = false;
    return true;
  }
  moreWork_ = false;
  clientThread.reset();
  return false;
}

// The toggle logic of both state buttons: a running thread is paused, or resumed when it
// was paused (its previous suspend count says which); one that is not running is launched.
void MainWindow::Toggle(std::shared_ptr<ThreadHandle>& thread, const ToggleSide& side) {
  if (IsThreadRunning(thread)) {
    if (thread->Suspend() == 1) {
      thread->Resume();
      thread->Resume();
      controls_.SetButtonBitmap(side.button, kRunningBitmap);
      AppendLog(side.resumed);
    } else {
      controls_.SetButtonBitmap(side.button, kStoppedBitmap);
      AppendLog(side.paused);
    }
    return;
  }
  AppendLog(side.launching);
  thread = (this->*side.launch)();
  controls_.SetButtonBitmap(side.button, StateBitmap(thread != nullptr));
}

void MainWindow::ToggleServer() {
  Toggle(serverThread, {kServerStateButton, "Server thread resumed.", "Server thread paused.", "Launching server...",
                        &MainWindow::LaunchListener});
}

void MainWindow::ToggleClient() {
  // A client launched by hand tries every waiting file at once, whatever its retry time.
  bool running;
  {
    std::lock_guard<std::mutex> guard(clientLock);
    running = IsThreadRunning(clientThread);
  }
  if (!running) MakeEveryFileDue();
  std::lock_guard<std::mutex> guard(clientLock);
  Toggle(clientThread, {kClientStateButton, "Client thread resumed.", "Client thread paused.", "Launching client...",
                        &MainWindow::LaunchDispatcher});
}

void MainWindow::DeliverNow() {
  AppendLog("Delivering every waiting e-mail now.");
  MakeEveryFileDue();
  StartClient();
}

void MainWindow::DeliverWaitingNow(const std::string& name) {
  AppendLog("Delivering " + name + " now.");
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    TheQueueList().schedule().MakeDue(name);
  }
  StartClient();
}

QueueList::Deletion MainWindow::DeleteWaiting(const std::string& name, const FileIdentity& shown) {
  using Deletion = QueueList::Deletion;
  Deletion outcome;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    outcome = TheQueueList().DeleteWaitingFile(name, shown);
  }
  if (outcome == Deletion::Deleted) AppendLog("Deleted waiting e-mail " + name);
  if (outcome == Deletion::Gone) AppendLog("Waiting e-mail " + name + " has gone since it was shown; nothing deleted");
  if (outcome == Deletion::Refused) AppendLog("Error : can't delete waiting e-mail " + name);
  return outcome;
}

void MainWindow::FlushQueue() {
  AppendLog("Flushing...");
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().Flush();
}

// Up to 1000 ms to end by itself, then cancelled (its blocking call returns at once) and
// waited for.
void MainWindow::EndThread(const std::shared_ptr<ThreadHandle>& thread) {
  if (!IsThreadRunning(thread) || thread->WaitFor(std::chrono::milliseconds(1000))) return;
  thread->Cancel();
  thread->Wait();
}

void MainWindow::Shutdown() {
  stopRequested.Set();
  std::shared_ptr<ThreadHandle> client;
  {
    std::lock_guard<std::mutex> guard(clientLock);
    client = clientThread;
  }
  if (IsThreadRunning(client)) {
    while (client->Resume() > 1) {
    }
  }
  EndThread(client);
  AppendLog("Client terminated.");
  EndThread(serverThread);
  AppendLog("Server terminated.");
  for (auto [registry, line] : {std::pair{&IncomingRegistry(), "Input threads deleted."},
                                std::pair{&OutgoingRegistry(), "Output threads deleted."}}) {
    std::unique_lock<std::mutex> held(registry->lock);
    registry->TerminateAll(held);
    AppendLog(line);
  }
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    TheQueueList().Clear(false);
  }
  AppendLog("File list now empty.");
  CloseLog();
  controls_.RemoveTrayIcon();
}

}  // namespace vellomar
