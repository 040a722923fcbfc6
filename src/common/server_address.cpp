#include "common/server_address.h"

namespace vellomar {

ServerAddress ParseServerAddress(const std::string& text, uint16_t defaultPort) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size() || text.size() - colon > 6) return {text, defaultPort};
  unsigned long port = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return {text, defaultPort};
    port = port * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (port == 0 || port > 65535) return {text, defaultPort};
  return {text.substr(0, colon), static_cast<uint16_t>(port)};
}

}  // namespace vellomar
