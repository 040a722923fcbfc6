#pragma once

#include <string>

#include "platform/file_descriptor.h"

namespace vellomar::test {

// Two ends of one TCP connection on 127.0.0.1, the server end accepted from a listener bound
// to a port the system chose.
struct LoopbackPair {
  FileDescriptor client;
  FileDescriptor server;
};
LoopbackPair ConnectLoopback();

// A peer that never answers a connect: a listener on 127.0.0.1 whose accept queue is full
// (one connection it never accepts), so the system drops every further SYN and a client's
// connect stays in progress until its own time limit.
struct SynDroppingPeer {
  FileDescriptor listener;
  FileDescriptor filler;
  int port = 0;
};
SynDroppingPeer DropSyns(const std::string& host = "127.0.0.1", int port = 0);
// Connects from this machine to the port that are still in progress (SYN sent, no answer).
int ConnectsInProgressTo(int port);

// A socket listening on 127.0.0.1 at a port the system chose, and that port.
FileDescriptor ListenLoopback(int backlog, int& port);
// A socket of `type` (SOCK_STREAM listening, or SOCK_DGRAM) bound to `host` ("127.0.0.3",
// "::1") at `port`, or at a port the system chose when it is 0; `port` is then the port.
FileDescriptor BindOn(const std::string& host, int type, int backlog, int& port);
// The same without a test failure: an invalid descriptor when the port is taken.
FileDescriptor TryBindOn(const std::string& host, int type, int backlog, int& port);

// Whether this machine can reach ::1 at all; a few build machines run without IPv6.
bool HasIpv6Loopback();

// Waits up to `timeoutMs` for the descriptor to become readable (or hung up). True if it did.
bool WaitReadable(int fd, int timeoutMs);

}  // namespace vellomar::test
