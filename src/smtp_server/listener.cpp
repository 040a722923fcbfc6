#include "smtp_server/listener.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/flags.h"
#include "common/ip_address.h"
#include "common/settings.h"
#include "common/shared_value.h"
#include "common/system_error.h"
#include "common/window_services.h"
#include "platform/connection.h"
#include "platform/socket.h"
#include "platform/wake_event.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/server_session.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

// A burst of clients connecting at once must wait in the queue, not be refused and retried
// by their systems seconds later; the system caps this at its own somaxconn.
constexpr int kBacklog = std::max(SOMAXCONN, 4096);
constexpr int kAcceptWaitMs = 1000;
// At the Input limit the listener looks again after this long, or as soon as a session ends.
constexpr std::chrono::milliseconds kLimitWait{100};

std::atomic<int> listeningPort{0};
SharedValue<SessionStartObserver> sessionStartObserver;

// Creates, binds and listens on one socket of the family; IPv6 takes IPv4 peers too.
ErrorOr<FileDescriptor> ListenOnFamily(int family) {
  auto socket = CreateTcpSocket(family);
  if (!socket) return socket;
  int fd = socket.value().get();
  Status ready = SetReuseAddress(fd);
  if (ready && family == AF_INET6) ready = SetIpv6Only(fd, false);
  if (ready) ready = BindAny(fd, family, ConfiguredSmtpPort());
  if (ready) ready = ListenOn(fd, kBacklog);
  if (!ready) return ErrorOr<FileDescriptor>::Fail(ready.error());
  return socket;
}

// The errors of a system that has no IPv6 (no such family, or no IPv6 address to bind);
// a port in use is not one of them.
bool MeansNoIpv6(int error) {
  return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL;
}

ErrorOr<FileDescriptor> OpenListeningSocket() {
  auto socket = ListenOnFamily(AF_INET6);
  if (!socket && MeansNoIpv6(socket.error())) socket = ListenOnFamily(AF_INET);
  if (!socket) return socket;
  auto port = LocalPort(socket.value().get());
  listeningPort = port ? port.value() : 0;
  return socket;
}

// Reserves the spool name, then starts the session and registers it under one hold of
// IncomingLock, so the session's first registry access finds its entry.
void StartSession(WindowServices& window, FileDescriptor accepted, std::string clientAddress) {
  auto session = std::make_shared<ServerSession>();
  session->socket = std::move(accepted);
  session->clientAddress = std::move(clientAddress);
  session->limits = window.timings.session;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    session->spoolName = TheQueueList().NewSpoolName(true);
  }
  if (auto observe = sessionStartObserver.Get()) observe(*session);
  const std::string name = session->spoolName;
  std::shared_ptr<ThreadHandle> thread;
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    thread = window.threads().Start(
        [session, &window](ThreadHandle&) { return SessionThread(std::move(*session), window); });
    if (thread) IncomingRegistry().AddWorker(thread, name);
  }
  if (thread) return;
  (void)session->socket.Close();  // the client is dropped; nothing to learn from the close
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().Discard(name, true);
}

// A client from outside the allowed networks: one reply and the close, before anything is
// reserved for it. The reply fits any fresh socket's send buffer, so the send does not wait.
void Refuse(WindowServices& window, FileDescriptor& socket, const std::string& clientAddress) {
  static constexpr std::string_view kDenied = "554 5.7.1 Access denied\r\n";
  window.AppendLog("Refused connection from " + clientAddress);
  (void)SendOnce(socket.get(), kDenied.data(), kDenied.size());  // a refusal is not waited for
  (void)socket.Close();  // nothing was written to it worth checking
}

void AcceptOne(WindowServices& window, ThreadHandle& self, int listener) {
  auto pending = WaitReadable(listener, kAcceptWaitMs);
  if (!pending || !pending.value()) return;
  if (!self.PassGate()) return;
  auto accepted = AcceptConnection(listener);
  if (!accepted) return;
  auto peer = IpAddressOf(accepted.value().peer);
  if (!peer) return;
  std::string clientAddress = AddressLiteral(*peer);
  if (!TheSettings().Allow.Get().Contains(*peer)) {
    Refuse(window, accepted.value().socket, clientAddress);
    return;
  }
  // A pipelining client reads several replies in a row: each must go out at once, not wait
  // for the acknowledgement of the one before it.
  (void)SetNoDelay(accepted.value().socket.get());  // without it replies are only slower
  StartSession(window, std::move(accepted.value().socket), std::move(clientAddress));
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

void SetSessionStartObserver(SessionStartObserver observer) { sessionStartObserver.Set(std::move(observer)); }

int ListenerThread(WindowServices& window, ThreadHandle& self) {
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
