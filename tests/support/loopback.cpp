#include "support/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vellomar::test {

bool HasIpv6Loopback() {
  FileDescriptor probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  return ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

FileDescriptor TryBindOn(const std::string& host, int type, int backlog, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
  if (::inet_pton(AF_INET6, host.c_str(), &ipv6.sin6_addr) == 1) {
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(static_cast<uint16_t>(port));
  } else {
    EXPECT_EQ(::inet_pton(AF_INET, host.c_str(), &ipv4.sin_addr), 1) << host;
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<uint16_t>(port));
  }
  FileDescriptor bound(::socket(address.ss_family, type | SOCK_CLOEXEC, 0));
  if (::bind(bound.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return FileDescriptor();
  if (type == SOCK_STREAM && ::listen(bound.get(), backlog) != 0) return FileDescriptor();
  EXPECT_EQ(::getsockname(bound.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  port = ntohs(address.ss_family == AF_INET6 ? ipv6.sin6_port : ipv4.sin_port);
  return bound;
}

FileDescriptor BindOn(const std::string& host, int type, int backlog, int& port) {
  const int asked = port;
  FileDescriptor bound = TryBindOn(host, type, backlog, port);
  EXPECT_TRUE(bound.valid()) << host << " port " << asked << ": " << std::strerror(errno);
  return bound;
}

FileDescriptor ListenLoopback(int backlog, int& port) {
  port = 0;
  return BindOn("127.0.0.1", SOCK_STREAM, backlog, port);
}

LoopbackPair ConnectLoopback() {
  int port = 0;
  FileDescriptor listener = ListenLoopback(1, port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  LoopbackPair pair;
  pair.client = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(pair.client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  pair.server = FileDescriptor(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  EXPECT_TRUE(pair.server.valid());
  return pair;
}

SynDroppingPeer DropSyns(const std::string& host, int port) {
  SynDroppingPeer peer;
  peer.port = port;
  peer.listener = BindOn(host, SOCK_STREAM, 0, peer.port);  // room for one connection
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  EXPECT_EQ(::getsockname(peer.listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  peer.filler = FileDescriptor(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(peer.filler.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  return peer;
}

int ConnectsInProgressTo(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "02" && remote.size() > 5 && remote.compare(remote.size() - 5, 5, wanted) == 0) ++count;
  }
  return count;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd watched{fd, POLLIN, 0};
  return ::poll(&watched, 1, timeoutMs) == 1;
}

}  // namespace vellomar::test
