#include "smtp_server/listener.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "common/ip_address.h"
#include "common/settings.h"
#include "platform/connection.h"
#include "platform/socket.h"
#include "platform/wake_event.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/relay_policy.h"
#include "smtp_server/server_session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// A burst of clients connecting at once must wait in the queue, not be refused and retried
// by their systems seconds later; the system caps this at its own somaxconn.
constexpr int kBacklog = std::max(SOMAXCONN, 4096);
constexpr int kAcceptWaitMs = 1000;
// At the Input limit the listener looks again after this long, or as soon as a session ends.
constexpr std::chrono::milliseconds kLimitWait{100};

// Creates, binds and listens on one socket of the family; IPv6 takes IPv4 peers too.
ErrorOr<FileDescriptor> ListenOnFamily(int family) {
  auto socket = CreateTcpSocket(family);
  if (!socket) return socket;
  int fd = socket.value().get();
  Status ready = SetReuseAddress(fd);
  if (ready && family == AF_INET6) ready = SetIpv6Only(fd, false);
  if (ready) ready = BindAny(fd, family, ConfiguredSmtpPort());
  if (ready) ready = ListenOn(fd, kBacklog);
  if (!ready) return ErrorOr<FileDescriptor>::Fail(ready.failure());
  return socket;
}

// The errors of a system that has no IPv6 (no such family, or no IPv6 address to bind);
// a port in use is not one of them.
bool MeansNoIpv6(int error) {
  return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL;
}

ErrorOr<FileDescriptor> OpenListeningSocket(RelayServices& relay) {
  auto socket = ListenOnFamily(AF_INET6);
  if (!socket && MeansNoIpv6(socket.error())) socket = ListenOnFamily(AF_INET);
  if (!socket) return socket;
  auto port = LocalPort(socket.value().get());
  relay.listeningPort = port ? port.value() : 0;
  return socket;
}

// A client its policy refuses: one reply and the close, before anything is reserved for it.
// The reply fits any fresh socket's send buffer, so the send does not wait.
void Refuse(RelayServices& relay, FileDescriptor& socket, const std::string& clientAddress, std::string_view reply) {
  relay.AppendLog("Refused connection from " + clientAddress);
  (void)SendOnce(socket.get(), reply.data(), reply.size());  // a refusal is not waited for
  (void)socket.Close();  // nothing was written to it worth checking
}

void AcceptOne(RelayServices& relay, ThreadHandle& self, int listener) {
  auto pending = WaitReadable(listener, kAcceptWaitMs);
  if (!pending || !pending.value()) return;
  if (!self.PassGate()) return;
  auto accepted = AcceptConnection(listener);
  if (!accepted) return;
  auto peer = IpAddressOf(accepted.value().peer);
  if (!peer) return;
  std::string clientAddress = AddressLiteral(*peer);
  // The settings of this moment: a change while the listener waited applies to this client.
  RelayPolicy policy(*relay.settings(), *peer);
  PolicyAnswer answer = policy.AtConnect();
  if (!answer.allowed()) {
    Refuse(relay, accepted.value().socket, clientAddress, answer.refusal);
    return;
  }
  // A pipelining client reads several replies in a row: each must go out at once, not wait
  // for the acknowledgement of the one before it.
  (void)SetNoDelay(accepted.value().socket.get());  // without it replies are only slower
  // A session that cannot start has closed the connection and released what it took.
  (void)StartSession(relay, std::move(accepted.value().socket), std::move(clientAddress), policy);
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

int ListenerThread(RelayServices& relay, ThreadHandle& self) {
  auto opened = OpenListeningSocket(relay);
  if (!opened) {
    relay.ShowSystemError(opened.failure());
    return 0;
  }
  Connection listener(std::move(opened.value()));
  relay.localHostName.Set(LookUpLocalHostName());
  relay.AppendLog("Server started and listening.");
  while (!relay.stop().load()) {
    if (!self.PassGate()) break;
    if (relay.incoming.size() < static_cast<size_t>(std::max<int32_t>(relay.settings()->Input, 0))) {
      AcceptOne(relay, self, listener.fd());
    } else {
      relay.sessionEnded.WaitFor(kLimitWait);
    }
    if (relay.stop().load() || self.IsCancelled()) break;
    relay.RefreshStatistics();
  }
  relay.listeningPort = 0;
  return 0;
}

}  // namespace vellomar
