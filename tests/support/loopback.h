#pragma once

#include "platform/file_descriptor.h"

namespace vellomar::test {

// Two ends of one TCP connection on 127.0.0.1, the server end accepted from a listener bound
// to a port the system chose.
struct LoopbackPair {
  FileDescriptor client;
  FileDescriptor server;
};
LoopbackPair ConnectLoopback();

// A socket listening on 127.0.0.1 at a port the system chose, and that port.
FileDescriptor ListenLoopback(int backlog, int& port);

// Waits up to `timeoutMs` for the descriptor to become readable (or hung up). True if it did.
bool WaitReadable(int fd, int timeoutMs);

}  // namespace vellomar::test
