#include "smtp_server/listener.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ip_address.h"
#include "common/settings.h"
#include "common/system_error.h"
#include "common/user_file.h"
#include "platform/socket.h"
#include "platform/thread_handle.h"
#include "platform/wake_event.h"
#include "smtp_server/listener_ports.h"
#include "smtp_server/listener_tls.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/relay_policy.h"
#include "smtp_server/server_session.h"
#include "smtp_server/tls_refusals.h"
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
ErrorOr<FileDescriptor> ListenOnFamily(int family, uint16_t port) {
  auto socket = CreateTcpSocket(family);
  if (!socket) return socket;
  int fd = socket.value().get();
  Status ready = SetReuseAddress(fd);
  if (ready && family == AF_INET6) ready = SetIpv6Only(fd, false);
  if (ready) ready = BindAny(fd, family, port);
  if (ready) ready = ListenOn(fd, kBacklog);
  if (!ready) return ErrorOr<FileDescriptor>::Fail(ready.failure());
  return socket;
}

// The errors of a system that has no IPv6 (no such family, or no IPv6 address to bind);
// a port in use is not one of them.
bool MeansNoIpv6(int error) {
  return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL;
}

ErrorOr<FileDescriptor> OpenListeningSocket(uint16_t port) {
  auto socket = ListenOnFamily(AF_INET6, port);
  if (!socket && MeansNoIpv6(socket.error())) socket = ListenOnFamily(AF_INET, port);
  return socket;
}

// One port as the listener serves it.
struct OpenPort {
  FileDescriptor socket;
  ListenerPort port;
};

// What every accept needs: the open ports and the TLS they share.
struct Listening {
  std::vector<OpenPort> ports;
  std::shared_ptr<const TlsServerContext> tls;
};

// Opens the ports of the settings. A port that needs TLS without a certificate, or that
// cannot be opened, is logged and left out; the failure of the last one tried is kept for
// when none could be opened.
SystemError OpenPorts(RelayServices& relay, const Settings& settings, Listening& listening) {
  ListenerPorts wanted = ParseListenerPorts(settings.Ports, ConfiguredSmtpPort());
  for (const std::string& problem : wanted.problems) relay.AppendLog(problem);
  SystemError failure{EADDRNOTAVAIL};
  std::vector<int> bound;
  for (const ListenerPort& port : wanted.ports) {
    if (port.implicitTls && !listening.tls) {
      relay.AppendLog("Error : port " + std::to_string(port.number) + " needs a certificate (TLS_Certificate); not listening there");
      continue;
    }
    auto socket = OpenListeningSocket(port.number);
    if (!socket) {
      failure = socket.failure();
      relay.AppendLog("Error : can't listen on port " + std::to_string(port.number) + ": " + SystemErrorText(failure));
      continue;
    }
    auto number = LocalPort(socket.value().get());
    bound.push_back(number ? number.value() : 0);
    listening.ports.push_back({std::move(socket.value()), port});
  }
  relay.listeningPorts.Set(bound);
  relay.listeningPort = bound.empty() ? 0 : bound.front();
  if (!settings.Ports.empty() && !bound.empty()) relay.AppendLog("Listening on ports " + DescribePorts(wanted.ports));
  return failure;
}

// A client its policy refuses: one reply and the close, before anything is reserved for it.
// In the clear the reply fits any fresh socket's send buffer, so the send does not wait; on a
// port with TLS from the first byte it comes after the handshake.
void Refuse(RelayServices& relay, FileDescriptor& socket, const std::string& clientAddress, std::string_view reply,
            bool implicitTls, TlsRefusals& refusals) {
  relay.AppendLog("Refused connection from " + clientAddress);
  if (implicitTls) {
    refusals.Refuse(std::move(socket), reply);
    return;
  }
  (void)SendOnce(socket.get(), reply.data(), reply.size());  // a refusal is not waited for
  (void)socket.Close();  // nothing was written to it worth checking
}

// What the listener knows of a client beyond its address. Whether a login is possible is
// asked only for a client outside Allow, which needs one: the users file is not read for
// every local client.
ConnectFacts FactsOf(RelayServices& relay, const Settings& settings, const IpAddress& peer,
                     const Listening& listening) {
  ConnectFacts facts;
  facts.blocked = relay.loginFailures.Blocked(peer, std::chrono::steady_clock::now());
  if (!settings.Allow.Contains(peer) && (listening.tls || settings.AuthInClear)) {
    facts.loginPossible = relay.knownUsers.Any();
  }
  return facts;
}

void AcceptOne(RelayServices& relay, ThreadHandle& self, const Listening& listening, TlsRefusals& refusals) {
  std::vector<int> fds;
  for (const OpenPort& open : listening.ports) fds.push_back(open.socket.get());
  auto ready = WaitAnyReadable(fds, kAcceptWaitMs);
  if (!ready || ready.value() >= fds.size()) return;
  const OpenPort& port = listening.ports[ready.value()];
  if (!self.PassGate()) return;
  auto accepted = AcceptConnection(port.socket.get());
  if (!accepted) return;
  auto peer = IpAddressOf(accepted.value().peer);
  if (!peer) return;
  std::string clientAddress = AddressLiteral(*peer);
  // The settings of this moment: a change while the listener waited applies to this client.
  auto settings = relay.settings();
  RelayPolicy policy(*settings, *peer, FactsOf(relay, *settings, *peer, listening));
  PolicyAnswer answer = policy.AtConnect();
  if (!answer.allowed()) {
    Refuse(relay, accepted.value().socket, clientAddress, answer.refusal, port.port.implicitTls, refusals);
    return;
  }
  // A pipelining client reads several replies in a row: each must go out at once, not wait
  // for the acknowledgement of the one before it.
  (void)SetNoDelay(accepted.value().socket.get());  // without it replies are only slower
  // A session that cannot start has closed the connection and released what it took.
  (void)StartSession(relay, std::move(accepted.value().socket), std::move(clientAddress), std::move(policy),
                     SessionPort{listening.tls, port.port.implicitTls});
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
  auto settings = relay.settings();
  relay.localHostName.Set(LookUpLocalHostName());
  Listening listening;
  listening.tls = PrepareListenerTls(relay, *settings);
  SystemError failure = OpenPorts(relay, *settings, listening);
  if (listening.ports.empty()) {
    relay.ShowSystemError(failure);
    return 0;
  }
  // The first port is watched by the thread's cancel hook, which shuts it down and so ends the
  // wait on all of them; the watch ends before the sockets close.
  SocketWatch watch(listening.ports.front().socket.get());
  TlsRefusals refusals(relay, listening.tls);
  relay.AppendLog("Server started and listening.");
  while (!relay.stop().load()) {
    if (!self.PassGate()) break;
    if (relay.incoming.size() < static_cast<size_t>(std::max<int32_t>(relay.settings()->Input, 0))) {
      AcceptOne(relay, self, listening, refusals);
    } else {
      relay.sessionEnded.WaitFor(kLimitWait);
    }
    if (relay.stop().load() || self.IsCancelled()) break;
    relay.RefreshStatistics();
  }
  relay.listeningPort = 0;
  relay.listeningPorts.Set({});
  return 0;
}

}  // namespace vellomar
