#pragma once

#include <cstdint>

namespace vellomar {

class MainWindow;
class ThreadHandle;

// The SMTP port: VELLOMAR_SMTP_PORT when it holds a port number, else 25.
uint16_t ConfiguredSmtpPort();
// The port the running listener is bound to (useful when the configured one is 0), or 0.
int ListeningPort();

// The receiving side's thread: listens on all addresses (one dual-stack IPv6 socket, IPv4
// alone where the system has no IPv6) and starts one session thread per accepted connection
// from an allowed network while fewer than Input receptions are shown; a client from
// elsewhere is refused with 554 and costs nothing else. Passes its pause
// gate at the top of each pass and right before each accept, holding no lock; ends on a
// stop request or a cancel.
int ListenerThread(MainWindow& window, ThreadHandle& self);

}  // namespace vellomar
