#include "dns/mx_resolver.h"

#include <algorithm>
#include <iterator>

#include "common/ip_address.h"
#include "common/server_address.h"
#include "common/text.h"
#include "dns/dns_exchange.h"
#include "platform/random.h"

namespace vellomar {

namespace {

constexpr size_t kMaxNameLength = 255;
constexpr int kMaxPointers = 32;

// Big-endian 16-bit value at `at`, if the reply holds it.
bool Read16(const std::vector<uint8_t>& reply, size_t at, uint16_t& value) {
  if (at + 2 > reply.size()) return false;
  value = static_cast<uint16_t>(reply[at] << 8 | reply[at + 1]);
  return true;
}

bool AppendLabel(const std::vector<uint8_t>& reply, size_t at, size_t length, bool first, std::string& name) {
  if (at + length > reply.size()) return false;
  if (!first) name += '.';
  name.append(reinterpret_cast<const char*>(reply.data() + at), length);
  return true;
}

bool IsHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
}

// A name from a DNS answer that may stand as a server: a host name, or an address, with a
// port or not as the server texts allow. Its bytes are anyone's: whatever else it holds (a
// line end, a blank, a byte beyond ASCII) would reach the log, the waiting view and notices.
bool IsExchangerName(const std::string& name) {
  if (!IsServerAddressText(name)) return false;
  const std::string host = ParseServerAddress(name, 25).host;
  if (ParseIpAddress(host)) return true;
  return !host.empty() && std::all_of(host.begin(), host.end(), IsHostNameCharacter);
}

}  // namespace

std::string MxResolver::EncodeQueryName(const std::string& domain) {
  std::string name = domain;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return "";
  std::string encoded;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    size_t length = (dot == std::string::npos ? name.size() : dot) - start;
    if (length == 0 || length > 63) return "";
    encoded += static_cast<char>(length);
    encoded.append(name, start, length);
    if (dot == std::string::npos) return encoded;
    start = dot + 1;
  }
}

bool MxResolver::DecodeName(const std::vector<uint8_t>& reply, size_t& position, std::string& name) {
  // `at` walks the name, through pointers; `position` stays in the record it started in.
  size_t at = position;
  bool jumped = false;
  int pointers = 0;
  const size_t start = name.size();
  for (;;) {
    if (at >= reply.size()) return false;
    uint8_t b = reply[at];
    if (b == 0) {
      if (!jumped) position = at + 1;
      return true;
    }
    if ((b & 0xC0) == 0xC0) {
      if (at + 1 >= reply.size() || ++pointers > kMaxPointers) return false;
      if (!jumped) position = at + 2;
      jumped = true;
      at = static_cast<size_t>((b & 0x3F) << 8 | reply[at + 1]);
      continue;
    }
    if ((b & 0xC0) != 0) return false;  // reserved label types
    if (!AppendLabel(reply, at + 1, b, name.size() == start, name) || name.size() - start > kMaxNameLength) {
      return false;
    }
    at += 1 + b;
  }
}

namespace {

// Each answer record in turn, handed to `take` with its type, data offset and data length
// until `take` says stop; a record that runs past the reply ends the walk.
template <typename Take>
void WalkAnswers(const std::vector<uint8_t>& reply, unsigned answerCount, Take take) {
  size_t position = 12;
  std::string ignored;
  if (!MxResolver::DecodeName(reply, position, ignored)) return;
  position += 4;  // QTYPE, QCLASS
  for (unsigned i = 0; i < answerCount; ++i) {
    uint16_t type, length;
    ignored.clear();
    if (!MxResolver::DecodeName(reply, position, ignored) || !Read16(reply, position, type) ||
        !Read16(reply, position + 8, length)) {
      return;
    }
    size_t data = position + 10;
    position = data + length;
    if (position > reply.size() || !take(type, data, length)) return;
  }
}

template <typename T>
void AppendNew(std::vector<T>& list, const T& item, size_t limit) {
  for (const T& earlier : list) {
    if (earlier == item) return;
  }
  if (list.size() < limit) list.push_back(item);
}

}  // namespace

std::vector<std::string> MxResolver::ParseMxAnswers(const std::vector<uint8_t>& reply, unsigned answerCount) {
  std::vector<std::pair<uint16_t, std::string>> found;
  WalkAnswers(reply, answerCount, [&](uint16_t type, size_t data, uint16_t length) {
    if (type != kTypeMx) return true;
    uint16_t preference;
    std::string exchange;
    size_t at = data + 2;
    if (length < 3 || !Read16(reply, data, preference) || !DecodeName(reply, at, exchange)) return false;
    found.emplace_back(preference, std::move(exchange));
    return true;
  });
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> names;
  for (auto& entry : found) names.push_back(std::move(entry.second));
  return names;
}

std::string MxResolver::ParseMxAnswer(const std::vector<uint8_t>& reply, unsigned answerCount) {
  std::vector<std::string> names = ParseMxAnswers(reply, answerCount);
  return names.empty() ? "" : names.front();
}

std::vector<SocketAddress> MxResolver::ParseAddressAnswers(const std::vector<uint8_t>& reply, unsigned answerCount,
                                                           uint16_t type, uint16_t port) {
  std::vector<SocketAddress> addresses;
  WalkAnswers(reply, answerCount, [&](uint16_t recordType, size_t data, uint16_t length) {
    if (recordType == type && type == kTypeA && length == 4) addresses.push_back(SocketAddress::Ipv4(&reply[data], port));
    if (recordType == type && type == kTypeAaaa && length == 16) {
      addresses.push_back(SocketAddress::Ipv6(&reply[data], port));
    }
    return true;
  });
  return addresses;
}

std::vector<uint8_t> MxResolver::BuildQuery(const std::string& encodedName, uint16_t id, uint16_t type) {
  const uint8_t header[] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF), 0x01, 0x00, 0, 1, 0, 0,
                            0, 0, 0, 0};
  // End of name, QTYPE, QCLASS IN.
  const uint8_t question[] = {0, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type & 0xFF), 0, 1};
  std::vector<uint8_t> query(std::begin(header), std::end(header));
  for (char c : encodedName) query.push_back(static_cast<uint8_t>(c));
  for (uint8_t b : question) query.push_back(b);
  return query;
}

// The DNS server is the one the settings name, of whichever family: `IPFamily` chooses the
// addresses of mail servers, not the way to the resolver.
bool MxResolver::OpenExchange(DnsExchange& exchange) {
  if (exchange.Open(dnsServer_, AF_UNSPEC, abandon_)) return true;
  log_("Error : can't get DNS IP.");
  return false;
}

bool MxResolver::Query(DnsExchange& exchange, const std::string& encoded, uint16_t type, std::vector<uint8_t>& reply,
                       unsigned& answerCount) {
  uint16_t id = 0;
  if (!FillRandom(&id, sizeof id)) return false;  // only on a kernel without getrandom
  if (!exchange.Ask(BuildQuery(encoded, id, type), wait_, reply)) return false;
  uint16_t count = 0;
  Read16(reply, 6, count);
  answerCount = count;
  return true;
}

std::vector<std::string> MxResolver::LookupExchangers(const std::string& domain) {
  std::string encoded = EncodeQueryName(domain);
  if (encoded.empty()) return {};
  DnsExchange exchange;
  std::vector<uint8_t> reply;
  unsigned answerCount = 0;
  if (!OpenExchange(exchange) || !Query(exchange, encoded, kTypeMx, reply, answerCount)) return {};
  std::vector<std::string> found = ParseMxAnswers(reply, answerCount);
  // The root as the best exchanger says that the domain takes no mail; elsewhere it is no host.
  if (found.empty() || found.front().empty()) return {};
  std::vector<std::string> exchangers;
  bool refused = false;
  for (const std::string& name : found) {
    if (!name.empty() && !IsExchangerName(name)) {
      refused = true;
      continue;
    }
    bool seen = name.empty();
    for (const std::string& earlier : exchangers) seen = seen || EqualsIgnoreCase(earlier, name);
    if (!seen && exchangers.size() < kMaxExchangers) exchangers.push_back(name);
  }
  // The name itself is not shown: it is what must not reach the log.
  if (refused) log_("Warning : a mail exchanger of domain " + domain + " has no host name, passed over");
  return exchangers;
}

std::vector<SocketAddress> MxResolver::LookupAddresses(const std::string& host, uint16_t port) {
  std::vector<SocketAddress> addresses;
  if (auto literal = ParseIpAddress(host)) {
    SocketAddress address = literal->IsIpv4() ? SocketAddress::Ipv4(literal->bytes.data() + 12, port)
                                              : SocketAddress::Ipv6(literal->bytes.data(), port);
    if (family_ == AF_UNSPEC || family_ == address.family()) addresses.push_back(address);
    return addresses;
  }
  std::string encoded = EncodeQueryName(host);
  DnsExchange exchange;
  if (encoded.empty() || !OpenExchange(exchange)) return addresses;
  for (uint16_t type : {kTypeAaaa, kTypeA}) {
    if (family_ == (type == kTypeA ? AF_INET6 : AF_INET)) continue;
    std::vector<uint8_t> reply;
    unsigned answerCount = 0;
    if (!Query(exchange, encoded, type, reply, answerCount)) continue;
    for (const SocketAddress& address : ParseAddressAnswers(reply, answerCount, type, port)) {
      AppendNew(addresses, address, kMaxAddresses);
    }
  }
  return addresses;
}

}  // namespace vellomar
