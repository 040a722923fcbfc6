#include "smtp_server/listener_ports.h"

#include <algorithm>
#include <optional>

#include "common/text.h"

namespace vellomar {

namespace {

constexpr uint16_t kSmtpsPort = 465;

std::optional<ListenerPort> ParseEntry(std::string_view entry) {
  bool tls = false;
  size_t slash = entry.find('/');
  if (slash != std::string_view::npos) {
    if (!EqualsIgnoreCase(entry.substr(slash + 1), "tls")) return std::nullopt;
    tls = true;
    entry = entry.substr(0, slash);
  }
  if (entry.empty() || entry.size() > 5) return std::nullopt;
  uint32_t number = 0;
  for (char c : entry) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  if (number > 65535) return std::nullopt;
  return ListenerPort{static_cast<uint16_t>(number), tls || number == kSmtpsPort};
}

bool AlreadyListed(const std::vector<ListenerPort>& ports, const ListenerPort& port) {
  // Port 0 is a new system-chosen port each time it is named.
  return port.number != 0 &&
         std::any_of(ports.begin(), ports.end(), [&](const ListenerPort& p) { return p.number == port.number; });
}

}  // namespace

ListenerPorts ParseListenerPorts(const std::string& text, uint16_t fallback) {
  ListenerPorts parsed;
  size_t at = 0;
  while (at < text.size()) {
    size_t start = text.find_first_not_of(" \t,", at);
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(" \t,", start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    at = end;
    auto port = ParseEntry(entry);
    if (!port) {
      parsed.problems.push_back("Ports: invalid entry ignored: " + entry);
    } else if (!AlreadyListed(parsed.ports, *port)) {
      parsed.ports.push_back(*port);
    }
  }
  if (parsed.ports.empty()) parsed.ports.push_back({fallback, fallback == kSmtpsPort});
  return parsed;
}

std::string DescribePorts(const std::vector<ListenerPort>& ports) {
  std::string text;
  for (const ListenerPort& port : ports) {
    if (!text.empty()) text += ", ";
    text += std::to_string(port.number) + (port.implicitTls ? " (TLS)" : "");
  }
  return text;
}

}  // namespace vellomar
