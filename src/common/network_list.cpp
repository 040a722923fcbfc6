#include "common/network_list.h"

#include <cctype>

namespace vellomar {

namespace {

constexpr int kIpv4InMapped = 96;

bool IsSeparator(char c) { return c == ',' || std::isspace(static_cast<unsigned char>(c)); }

// Digits only, at most three of them, none missing.
std::optional<int> PrefixNumber(const std::string& text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

IpAddress MaskedTo(IpAddress address, int prefixBits) {
  for (int bit = prefixBits; bit < 128; ++bit) address.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
  return address;
}

}  // namespace

bool IpNetwork::Contains(const IpAddress& address) const { return MaskedTo(address, prefixBits) == base; }

std::optional<IpNetwork> ParseNetwork(const std::string& entry) {
  size_t slash = entry.find('/');
  auto address = ParseIpAddress(entry.substr(0, slash));
  if (!address) return std::nullopt;
  const int offset = address->IsIpv4() && entry.find(':') == std::string::npos ? kIpv4InMapped : 0;
  int prefixBits = 128;
  if (slash != std::string::npos) {
    auto prefix = PrefixNumber(entry.substr(slash + 1));
    if (!prefix || *prefix > 128 - offset) return std::nullopt;
    prefixBits = *prefix + offset;
  }
  return IpNetwork{MaskedTo(*address, prefixBits), prefixBits};
}

bool NetworkList::Contains(const IpAddress& address) const {
  for (const IpNetwork& network : networks_) {
    if (network.Contains(address)) return true;
  }
  return false;
}

ParsedNetworkList ParseNetworkList(const std::string& text) {
  ParsedNetworkList parsed;
  std::vector<IpNetwork> networks;
  size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::string entry = text.substr(i, end - i);
    if (auto network = ParseNetwork(entry)) {
      networks.push_back(*network);
    } else {
      parsed.invalid.push_back(entry);
    }
    i = end;
  }
  parsed.list = NetworkList(std::move(networks));
  return parsed;
}

}  // namespace vellomar
