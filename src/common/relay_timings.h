#pragma once

#include <chrono>
#include <cstdint>

namespace vellomar {

// How long a client may take. Each wait for data is bounded by `readWait`; on top of that a
// command line must be complete within `commandTime` of its first byte, and message data may
// take `dataGrace` plus one second per `dataRate` bytes received, so that a client dripping a
// byte now and then cannot hold a connection slot for ever.
struct SessionLimits {
  std::chrono::milliseconds readWait{10000};
  std::chrono::milliseconds commandTime{60000};
  std::chrono::milliseconds dataGrace{60000};
  int64_t dataRate = 1024;  // bytes per second
};

// Time limits of the client: connecting (30 s), each reply, the greeting included (120 s),
// and the reply to the end of the data, which a busy server may take long to give (10 min).
struct ClientTimeouts {
  std::chrono::milliseconds connect{30000};
  std::chrono::milliseconds reply{120000};
  std::chrono::milliseconds dataReply{600000};
};

// Every time limit of the relay in one value, owned by the program's window services and
// read by the threads it starts; a test shortens its own copy instead of a program-wide one.
// Set before the relay threads start and not changed while they run.
struct RelayTimings {
  SessionLimits session;
  ClientTimeouts client;
  // How long one DNS try waits for its reply; after one resend the lookup gives up.
  std::chrono::milliseconds dnsWait{5000};
  // The period of the client timer, which starts the dispatcher again.
  std::chrono::milliseconds clientTimerPeriod{std::chrono::minutes(30)};
};

}  // namespace vellomar
