#pragma once

#include <cstdint>

namespace vellomar {

class RelayServices;
class ThreadHandle;

// The SMTP port: VELLOMAR_SMTP_PORT when it holds a port number, else 25.
uint16_t ConfiguredSmtpPort();

// The receiving side's thread: sets up the listener's TLS (listener_tls.h), listens on each
// port of the Ports setting on all addresses (one dual-stack IPv6 socket per port, IPv4 alone
// where the system has no IPv6) and starts one session thread per accepted connection whose
// relay policy lets it in while fewer than Input receptions run, the clients of every port
// counted together; a client the policy refuses gets its reply and costs nothing else.
// Records its ports in the relay's `listeningPorts` (the first in `listeningPort`). Passes its pause gate at the top of each pass and right before each accept, holding no
// lock; ends on a stop request or a cancel.
int ListenerThread(RelayServices& relay, ThreadHandle& self);

}  // namespace vellomar
