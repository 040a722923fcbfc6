#pragma once

#include <cstdint>

namespace vellomar {

class RelayServices;
class ThreadHandle;

// The SMTP port: VELLOMAR_SMTP_PORT when it holds a port number, else 25.
uint16_t ConfiguredSmtpPort();

// The receiving side's thread: listens on all addresses (one dual-stack IPv6 socket, IPv4
// alone where the system has no IPv6) and starts one session thread per accepted connection
// whose relay policy lets it in while fewer than Input receptions run; a client the policy
// refuses gets its reply and costs nothing else. Records its port in the relay's
// `listeningPort`. Passes its pause gate at the top of each pass and right before each accept, holding no
// lock; ends on a stop request or a cancel.
int ListenerThread(RelayServices& relay, ThreadHandle& self);

}  // namespace vellomar
