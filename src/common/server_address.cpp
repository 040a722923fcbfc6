#include "common/server_address.h"

#include <sys/socket.h>

#include <algorithm>
#include <optional>

#include "common/ip_address.h"
#include "common/text.h"

namespace vellomar {

namespace {

// The port a text gives: digits alone, from 1 to 65535.
std::optional<uint16_t> PortOf(const std::string& digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned long port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

bool IsIpv6Text(const std::string& text) {
  auto address = ParseIpAddress(text);
  return address && text.find(':') != std::string::npos;
}

// "[address]" or "[address]:port"; nothing when the text is not of that form.
std::optional<ServerAddress> Bracketed(const std::string& text, uint16_t defaultPort) {
  size_t close = text.find(']');
  if (text.empty() || text[0] != '[' || close == std::string::npos) return std::nullopt;
  std::string host = text.substr(1, close - 1);
  if (!IsIpv6Text(host)) return std::nullopt;
  if (close + 1 == text.size()) return ServerAddress{host, defaultPort};
  if (text[close + 1] != ':') return std::nullopt;
  auto port = PortOf(text.substr(close + 2));
  if (!port) return std::nullopt;
  return ServerAddress{host, *port};
}

}  // namespace

ServerAddress ParseServerAddress(const std::string& text, uint16_t defaultPort) {
  if (auto bracketed = Bracketed(text, defaultPort)) return *bracketed;
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || std::count(text.begin(), text.end(), ':') > 1) return {text, defaultPort};
  auto port = PortOf(text.substr(colon + 1));
  if (!port) return {text, defaultPort};
  return {text.substr(0, colon), *port};
}

bool IsServerAddressText(const std::string& text) {
  if (!text.empty() && text[0] == '[') return Bracketed(text, 25).has_value();
  if (text.find_first_of("[]") != std::string::npos) return false;
  ServerAddress parsed = ParseServerAddress(text, 25);
  // A single colon must bring a port; two or more make an IPv6 address.
  size_t colons = static_cast<size_t>(std::count(text.begin(), text.end(), ':'));
  return !parsed.host.empty() && (colons != 1 || parsed.host != text) && (colons < 2 || IsIpv6Text(text));
}

int AddressFamilyOf(const std::string& ipFamily) {
  if (EqualsIgnoreCase(ipFamily, "ipv4")) return AF_INET;
  if (EqualsIgnoreCase(ipFamily, "ipv6")) return AF_INET6;
  return AF_UNSPEC;
}

}  // namespace vellomar
