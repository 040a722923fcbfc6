// Base64, the address texts of the settings and the paths of MAIL and RCPT, fed any text:
// base64 round-trips, an address read from its own literal is the same address, a network
// holds its own base, a server text splits into its host and a port in range, and a path
// taken from a command reads back as itself from the line it is stored in.
#include <cstdint>
#include <string>

#include "common/base64.h"
#include "common/ip_address.h"
#include "common/network_list.h"
#include "common/server_address.h"
#include "smtp_server/mail_path.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (auto decoded = Base64Decode(text)) Check(Base64Decode(Base64Encode(*decoded)) == decoded, "base64 round-trips");
  Check(Base64Decode(Base64Encode(text)) == text, "any bytes survive base64");

  if (auto address = ParseIpAddress(text)) {
    std::string literal = AddressLiteral(*address);
    if (literal.rfind("IPv6:", 0) == 0) literal = literal.substr(5);
    Check(ParseIpAddress(literal) == address, "an address reads back from its literal");
  }
  ParsedNetworkList networks = ParseNetworkList(text);
  for (const IpNetwork& network : networks.list.networks()) {
    Check(network.prefixBits >= 0 && network.prefixBits <= 128, "a prefix is in range");
    Check(network.Contains(network.base), "a network holds its own base");
  }

  ServerAddress server = ParseServerAddress(text, 25);
  Check(server.port >= 1, "a port is in range");
  if (text.rfind("[" + server.host + "]", 0) == 0) {
    // An IPv6 address in brackets: nothing but a port may follow them.
    Check(ParseIpAddress(server.host).has_value(), "only an address is bracketed");
    const size_t after = server.host.size() + 2;
    Check(after == text.size() || text[after] == ':', "only a port follows the brackets");
  } else {
    Check(text.rfind(server.host, 0) == 0, "the host is where the text begins");
    Check(server.host == text || (text[server.host.size()] == ':' && server.host.find(':') == std::string::npos),
          "only a port follows a host without a colon");
  }
  if (IsServerAddressText(text)) Check(!server.host.empty(), "a well-formed server text names a host");

  for (std::string_view word : {"FROM:", "TO:"}) {
    auto path = ParseMailPath(text, word);
    if (!path) continue;
    Check(path->address.size() + 2 <= kMaxPath, "a path keeps within its length");
    for (char c : path->address) {
      Check(c != '<' && c != '>' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "an address holds no bracket");
    }
    auto stored = ParseMailPath(std::string(word) + "<" + path->address + ">", word);
    Check(stored && stored->address == path->address && stored->parameters.empty(), "a stored path reads back");
  }
  return 0;
}
