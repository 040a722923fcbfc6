#include "dns/mx_resolver.h"

#include <iterator>

#include "dns/dns_exchange.h"
#include "platform/random.h"

namespace vellomar {

namespace {

constexpr size_t kMaxNameLength = 255;
constexpr int kMaxPointers = 32;
constexpr uint16_t kTypeMx = 15;

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

std::string MxResolver::ParseMxAnswer(const std::vector<uint8_t>& reply, unsigned answerCount) {
  std::string best;
  bool found = false;
  uint16_t bestPreference = 0;
  size_t position = 12;
  std::string ignored;
  if (!DecodeName(reply, position, ignored)) return best;
  position += 4;  // QTYPE, QCLASS
  for (unsigned i = 0; i < answerCount; ++i) {
    uint16_t type, length, preference;
    ignored.clear();
    if (!DecodeName(reply, position, ignored) || !Read16(reply, position, type) ||
        !Read16(reply, position + 8, length)) {
      return best;
    }
    size_t data = position + 10;
    position = data + length;
    if (position > reply.size()) return best;
    if (type != kTypeMx) continue;
    std::string exchange;
    size_t at = data + 2;
    if (length < 3 || !Read16(reply, data, preference) || !DecodeName(reply, at, exchange)) return best;
    if (!found || preference < bestPreference) {
      best = exchange;
      bestPreference = preference;
      found = true;
    }
  }
  return best;
}

std::vector<uint8_t> MxResolver::BuildQuery(const std::string& encodedName, uint16_t id) {
  const uint8_t header[] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF), 0x01, 0x00, 0, 1, 0, 0,
                            0, 0, 0, 0};
  const uint8_t question[] = {0, 0, kTypeMx, 0, 1};  // end of name, QTYPE MX, QCLASS IN
  std::vector<uint8_t> query(std::begin(header), std::end(header));
  for (char c : encodedName) query.push_back(static_cast<uint8_t>(c));
  for (uint8_t b : question) query.push_back(b);
  return query;
}

std::string MxResolver::LookupMx(const std::string& domain) {
  std::string encoded = EncodeQueryName(domain);
  if (encoded.empty()) return "";
  DnsExchange exchange;
  if (!exchange.Open(dnsServer_, abandon_)) {
    log_("Error : can't get DNS IP.");
    return "";
  }
  uint16_t id = 0;
  if (!FillRandom(&id, sizeof id)) return "";  // only on a kernel without getrandom
  std::vector<uint8_t> reply;
  if (!exchange.Ask(BuildQuery(encoded, id), wait_, reply)) return "";
  uint16_t answerCount = 0;
  Read16(reply, 6, answerCount);
  return ParseMxAnswer(reply, answerCount);
}

}  // namespace vellomar
