// The controller's operations on the two long-running threads: start, pause and resume,
// flush, and the ordered shutdown.
#include <mutex>

#include "common/flags.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "control/window_controls.h"
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

void MainWindow::ToggleServer() {
  if (IsThreadRunning(serverThread)) {
    if (serverThread->Suspend() == 1) {
      serverThread->Resume();
      serverThread->Resume();
      controls_.SetButtonBitmap(kServerStateButton, kRunningBitmap);
      AppendLog("Server thread resumed.");
    } else {
      controls_.SetButtonBitmap(kServerStateButton, kStoppedBitmap);
      AppendLog("Server thread paused.");
    }
    return;
  }
  AppendLog("Launching server...");
  serverThread = LaunchListener();
  controls_.SetButtonBitmap(kServerStateButton, StateBitmap(serverThread != nullptr));
}

void MainWindow::ToggleClient() {
  std::lock_guard<std::mutex> guard(clientLock);
  if (IsThreadRunning(clientThread)) {
    if (clientThread->Suspend() == 1) {
      clientThread->Resume();
      clientThread->Resume();
      controls_.SetButtonBitmap(kClientStateButton, kRunningBitmap);
      AppendLog("Client thread resumed.");
    } else {
      controls_.SetButtonBitmap(kClientStateButton, kStoppedBitmap);
      AppendLog("Client thread paused.");
    }
    return;
  }
  AppendLog("Launching client...");
  clientThread = LaunchDispatcher();
  controls_.SetButtonBitmap(kClientStateButton, StateBitmap(clientThread != nullptr));
}

void MainWindow::FlushQueue() {
  AppendLog("Flushing...");
  flushRequested = true;
  std::string name;
  for (;;) {
    std::lock_guard<std::mutex> guard(QueueLock());
    if (!TheQueueList().TakeNextFile(name)) return;
    // A file that cannot be deleted stays held until the next clearing, so the loop moves on.
    if (!TheQueueList().Discard(name, true)) TheQueueList().Add(name);
  }
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
