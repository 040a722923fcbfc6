#include "smtp_server/listener.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "common/flags.h"
#include "common/system_error.h"
#include "control/main_window.h"
#include "control/settings.h"
#include "platform/connection.h"
#include "platform/socket.h"
#include "platform/wake_event.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/server_session.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

constexpr int kBacklog = 5;
constexpr int kAcceptWaitMs = 1000;
// At the Input limit the listener looks again after this long, or as soon as a session ends.
constexpr std::chrono::milliseconds kLimitWait{100};

std::atomic<int> listeningPort{0};

ErrorOr<FileDescriptor> OpenListeningSocket() {
  auto socket = CreateTcpSocket();
  if (!socket) return socket;
  int fd = socket.value().get();
  Status ready = SetReuseAddress(fd);
  if (ready) ready = BindAnyIpv4(fd, ConfiguredSmtpPort());
  if (ready) ready = ListenOn(fd, kBacklog);
  if (!ready) return ErrorOr<FileDescriptor>::Fail(ready.error());
  auto port = LocalPort(fd);
  listeningPort = port ? port.value() : 0;
  return socket;
}

// Reserves the spool name, then starts the session and registers it under one hold of
// IncomingLock, so the session's first registry access finds its entry.
std::string PeerText(int fd) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  char text[INET_ADDRSTRLEN] = {};
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "";
  return ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) ? text : "";
}

void StartSession(MainWindow& window, FileDescriptor accepted) {
  auto session = std::make_shared<ServerSession>();
  session->clientAddress = PeerText(accepted.get());
  session->socket = std::move(accepted);
  session->limits = DefaultSessionLimits();
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    session->spoolName = TheQueueList().NewSpoolName(true);
  }
  const std::string name = session->spoolName;
  std::shared_ptr<ThreadHandle> thread;
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    thread = window.threads().Start(
        [session, &window](ThreadHandle&) { return SessionThread(std::move(*session), window); });
    if (thread) IncomingRegistry().AddWorker(thread, name);
  }
  if (thread) return;
  session->socket.Close();
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().Discard(name, true);
}

void AcceptOne(MainWindow& window, ThreadHandle& self, int listener) {
  auto pending = WaitReadable(listener, kAcceptWaitMs);
  if (!pending || !pending.value()) return;
  if (!self.PassGate()) return;
  auto accepted = AcceptConnection(listener);
  if (accepted) StartSession(window, std::move(accepted.value()));
}

}  // namespace

uint16_t ConfiguredSmtpPort() {
  const char* text = std::getenv("VELLOMAR_SMTP_PORT");
  if (text == nullptr || *text == '\0') return 25;
  char* end = nullptr;
  long port = std::strtol(text, &end, 10);
  if (*end != '\0' || port < 0 || port > 65535) return 25;
  return static_cast<uint16_t>(port);
}

int ListeningPort() { return listeningPort.load(); }

int ListenerThread(MainWindow& window, ThreadHandle& self) {
  auto opened = OpenListeningSocket();
  if (!opened) {
    ShowSystemError(opened.error());
    return 0;
  }
  Connection listener(std::move(opened.value()));
  localHostName.Set(LookUpLocalHostName());
  window.AppendLog("Server started and listening.");
  while (!stopRequested.load()) {
    if (!self.PassGate()) break;
    if (window.IncomingCount() < TheSettings().Input) {
      AcceptOne(window, self, listener.fd());
    } else {
      SessionEnded().WaitFor(kLimitWait);
    }
    if (stopRequested.load() || self.IsCancelled()) break;
    window.RefreshStatistics();
  }
  listeningPort = 0;
  return 0;
}

}  // namespace vellomar
