#include "smtp_server/mail_path.h"

#include <algorithm>

#include "common/ip_address.h"
#include "common/text.h"

namespace vellomar {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (ToUpperAscii(c) >= 'A' && ToUpperAscii(c) <= 'Z'); }
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

bool IsEightBit(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// An unquoted local part: RFC 5322's atoms and dots, in ASCII: an address of more than ASCII
// needs SMTPUTF8, which is not offered.
bool ValidDotString(std::string_view text) {
  constexpr std::string_view kSpecials = " \t<>()[]\\,;:@\"";
  if (text.empty()) return false;
  for (char c : text) {
    if (IsControl(c) || IsEightBit(c) || kSpecials.find(c) != std::string_view::npos) return false;
  }
  return true;
}

// A quoted local part with its quotes; its length through the closing quote, 0 when it is
// not one.
size_t QuotedLength(std::string_view text) {
  for (size_t i = 1; i < text.size(); ++i) {
    if (IsControl(text[i]) || IsEightBit(text[i])) return 0;
    if (text[i] == '\\') {
      // A backslash quotes the next character, never a control: a NUL or a line end quoted
      // this way would be stored and replayed as it stands.
      if (++i == text.size() || IsControl(text[i])) return 0;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return 0;
}

// RFC 5321's sub-domain: letters and digits, with hyphens inside; at most 63 of them.
bool ValidLabel(std::string_view label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
  return std::all_of(label.begin(), label.end(), [](char c) { return IsAlnum(c) || c == '-'; });
}

// RFC 5321's address literal: an IPv4 address, or "IPv6:" and an IPv6 address. A general
// literal would name a standardised tag, and none but IPv6 has been registered.
bool ValidAddressLiteral(std::string_view inside) {
  constexpr std::string_view kIpv6Tag = "IPv6:";
  if (StartsWithIgnoreCase(inside, kIpv6Tag)) {
    std::optional<IpAddress> address = ParseIpAddress(std::string(inside.substr(kIpv6Tag.size())));
    return address && !address->IsIpv4();
  }
  std::optional<IpAddress> address = ParseIpAddress(std::string(inside));
  return address && address->IsIpv4() && inside.find(':') == std::string_view::npos;
}

// RFC 5321's Domain (labels joined by single dots, at most 255 bytes), or an address literal
// in square brackets.
bool ValidDomain(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    return ValidAddressLiteral(text.substr(1, text.size() - 2));
  }
  if (text.empty() || text.size() > 255) return false;
  for (size_t start = 0;;) {
    size_t dot = text.find('.', start);
    if (!ValidLabel(text.substr(start, dot == std::string_view::npos ? dot : dot - start))) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

// A mailbox: a local part, and a domain after an '@' (a bare local part such as "postmaster"
// is taken as the local programs send it).
bool ValidMailbox(std::string_view text) {
  size_t localEnd = text.front() == '"' ? QuotedLength(text) : text.find('@');
  if (localEnd == 0) return false;
  if (localEnd == std::string_view::npos) return ValidDotString(text);
  if (text.front() != '"' && !ValidDotString(text.substr(0, localEnd))) return false;
  if (localEnd == text.size()) return true;
  return text[localEnd] == '@' && ValidDomain(text.substr(localEnd + 1));
}

// The text between the brackets as it is to be stored: without the source route ("@a,@b:").
std::optional<std::string> PathAddress(std::string_view inside) {
  if (inside.find_first_of("<>") != std::string_view::npos) return std::nullopt;
  if (inside.empty()) return std::string();
  if (inside.front() == '@') {
    size_t colon = inside.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    for (char c : inside.substr(0, colon)) {
      if (IsControl(c) || IsBlank(c)) return std::nullopt;
    }
    inside.remove_prefix(colon + 1);
    if (inside.empty()) return std::nullopt;
  }
  if (!ValidMailbox(inside)) return std::nullopt;
  return std::string(inside);
}

bool ValidKeyword(std::string_view keyword) {
  if (keyword.empty() || !IsAlnum(keyword.front())) return false;
  for (char c : keyword) {
    if (!IsAlnum(c) && c != '-') return false;
  }
  return true;
}

bool ValidValue(std::string_view value) {
  if (value.empty()) return false;
  for (char c : value) {
    if (c <= ' ' || c == '=' || static_cast<unsigned char>(c) >= 0x7f) return false;
  }
  return true;
}

// The parameters after the path, each after one or more blanks; blanks may end the line.
bool ReadParameters(std::string_view text, MailPath& path) {
  while (!text.empty()) {
    if (!IsBlank(text.front())) return false;
    text = SkipBlanks(text);
    if (text.empty()) break;
    std::string_view parameter = text.substr(0, text.find_first_of(" \t"));
    text.remove_prefix(parameter.size());
    size_t equals = parameter.find('=');
    std::string_view keyword = parameter.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
    if (!ValidKeyword(keyword) || (equals != std::string_view::npos && !ValidValue(value))) return false;
    path.parameters.emplace_back(keyword, value);
  }
  return true;
}

}  // namespace

std::optional<MailPath> ParseMailPath(std::string_view argument, std::string_view word) {
  if (!StartsWithIgnoreCase(argument, word)) return std::nullopt;
  std::string_view rest = SkipBlanks(argument.substr(word.size()));
  if (rest.empty() || rest.front() != '<') return std::nullopt;
  size_t close = rest.find('>');
  if (close == std::string_view::npos || close + 1 > kMaxPath) return std::nullopt;
  std::optional<std::string> address = PathAddress(rest.substr(1, close - 1));
  if (!address) return std::nullopt;
  MailPath path{std::move(*address), {}};
  if (!ReadParameters(rest.substr(close + 1), path)) return std::nullopt;
  return path;
}

bool HasEightBitPath(std::string_view argument) {
  std::string_view path = argument.substr(0, argument.find('>'));
  return std::any_of(path.begin(), path.end(), IsEightBit);
}

}  // namespace vellomar

namespace vellomar {

bool IsPathMailbox(std::string_view address) {
  if (address.empty() || address.size() > kMaxMailbox || address.front() == '@') return false;
  std::optional<MailPath> path = ParseMailPath("TO:<" + std::string(address) + ">", "TO:");
  return path && path->parameters.empty() && path->address == address;
}

}  // namespace vellomar
