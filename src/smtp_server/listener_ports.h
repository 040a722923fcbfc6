#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellomar {

// One port the listener opens.
struct ListenerPort {
  uint16_t number = 25;
  // TLS from the first byte (port 465, or "/tls" after the number); else STARTTLS is offered
  // once a certificate is configured.
  bool implicitTls = false;
};

struct ListenerPorts {
  std::vector<ListenerPort> ports;
  // A log line for each entry that is not a port.
  std::vector<std::string> problems;
};

// The ports of the `Ports` text: numbers separated by blanks or commas, each optionally
// followed by "/tls" (0 lets the system choose, for tests). A port named twice is opened once.
// When the text names none, the one port `fallback` (VELLOMAR_SMTP_PORT or 25).
ListenerPorts ParseListenerPorts(const std::string& text, uint16_t fallback);

// "25, 587, 465 (TLS)" as a log line names them.
std::string DescribePorts(const std::vector<ListenerPort>& ports);

}  // namespace vellomar
