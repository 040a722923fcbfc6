#pragma once

#include <cstdint>
#include <functional>

namespace vellomar {

class WindowServices;
class ThreadHandle;
struct ServerSession;

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
int ListenerThread(WindowServices& window, ThreadHandle& self);

// Called on the listener's thread with each session as it is handed to its thread, so that
// tests can see what a session starts with; empty (the default) for none.
using SessionStartObserver = std::function<void(const ServerSession&)>;
void SetSessionStartObserver(SessionStartObserver observer);

}  // namespace vellomar
