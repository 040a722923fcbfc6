#pragma once

#include <chrono>
#include <cstdint>

namespace vellomar {

// How long a client may take. Silence is allowed for `commandWait` before a command and
// `dataWait` within the message data while fewer than three quarters of Input are in use,
// and for `busyWait` anywhere once the listener is busier, so that idle clients cannot lock
// others out. On top of that a command line must be complete within `commandTime` of its
// first byte, and message data may take `dataGrace` plus one second per `dataRate` bytes
// received, so that a client dripping a byte now and then cannot hold a slot for ever. A
// reply the client does not take within `sendWait` ends the session.
struct SessionLimits {
  std::chrono::milliseconds commandWait{std::chrono::minutes(5)};
  std::chrono::milliseconds dataWait{std::chrono::minutes(3)};
  std::chrono::milliseconds busyWait{10000};
  std::chrono::milliseconds commandTime{60000};
  std::chrono::milliseconds dataGrace{60000};
  int64_t dataRate = 1024;  // bytes per second
  std::chrono::milliseconds sendWait{60000};
};

// Time limits of the client: connecting to one address (30 s), each reply, the greeting
// included (120 s), and the reply to the end of the data, which a busy server may take long to
// give (10 min). A server's next address is tried `nextAddress` after the one before began
// connecting, while that one is still under way (250 ms, as RFC 8305 recommends).
struct ClientTimeouts {
  std::chrono::milliseconds connect{30000};
  std::chrono::milliseconds reply{120000};
  std::chrono::milliseconds dataReply{600000};
  std::chrono::milliseconds nextAddress{250};
};

// The brakes on guessing passwords at the listener: a failed login is answered after
// `failureDelay`, doubled for each further failure of the same session; a client address with
// ten failures within `failureWindow` is refused for `blockTime`.
struct LoginLimits {
  std::chrono::milliseconds failureDelay{1000};
  std::chrono::milliseconds failureWindow{std::chrono::minutes(10)};
  std::chrono::milliseconds blockTime{std::chrono::minutes(10)};
  // How long a login waits for a place among the relay's password checks.
  std::chrono::milliseconds checkWait{std::chrono::seconds(30)};
};

// Every time limit of the relay in one value, owned by the program's window services and
// read by the threads it starts; a test shortens its own copy instead of a program-wide one.
// Set before the relay threads start and not changed while they run.
struct RelayTimings {
  SessionLimits session;
  LoginLimits login;
  ClientTimeouts client;
  // How long one DNS try waits for its reply; after one resend the lookup gives up.
  std::chrono::milliseconds dnsWait{5000};
  // The period of the client timer, which starts the dispatcher again.
  std::chrono::milliseconds clientTimerPeriod{std::chrono::minutes(30)};
  // How long a session left open for the next message waits for a worker to take it up
  // before it is closed: long enough for the dispatcher to start the next one in a burst.
  std::chrono::milliseconds sessionLinger{2000};
};

}  // namespace vellomar
