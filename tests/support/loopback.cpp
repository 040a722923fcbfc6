#include "support/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vellomar::test {

FileDescriptor ListenLoopback(int backlog, int& port) {
  FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(listener.get(), backlog), 0);
  EXPECT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  port = ntohs(address.sin_port);
  return listener;
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

SynDroppingPeer DropSyns() {
  SynDroppingPeer peer;
  peer.listener = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(peer.listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(peer.listener.get(), 0), 0);  // room for one connection
  EXPECT_EQ(::getsockname(peer.listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  peer.port = ntohs(address.sin_port);
  peer.filler = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(peer.filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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
