#include "smtp_server/mail_path.h"

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

// An unquoted local part: RFC 5322's atoms and dots; bytes above ASCII are let through, as
// the relays after this one do.
bool ValidDotString(std::string_view text) {
  constexpr std::string_view kSpecials = " \t<>()[]\\,;:@\"";
  if (text.empty()) return false;
  for (char c : text) {
    if (IsControl(c) || kSpecials.find(c) != std::string_view::npos) return false;
  }
  return true;
}

// A quoted local part with its quotes; its length through the closing quote, 0 when it is
// not one.
size_t QuotedLength(std::string_view text) {
  for (size_t i = 1; i < text.size(); ++i) {
    if (IsControl(text[i])) return 0;
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

// A domain name, or an address literal in square brackets.
bool ValidDomain(std::string_view text) {
  if (text.empty()) return false;
  if (text.front() == '[') {
    if (text.back() != ']' || text.size() < 3) return false;
    text = text.substr(1, text.size() - 2);
    for (char c : text) {
      if (IsControl(c) || IsBlank(c) || c == '[' || c == ']' || c == '\\') return false;
    }
    return true;
  }
  for (char c : text) {
    if (!IsAlnum(c) && c != '-' && c != '.' && c != '_' && static_cast<unsigned char>(c) < 0x80) return false;
  }
  return true;
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

}  // namespace vellomar

namespace vellomar {

bool IsPathMailbox(std::string_view address) {
  if (address.empty() || address.size() > kMaxMailbox || address.front() == '@') return false;
  std::optional<MailPath> path = ParseMailPath("TO:<" + std::string(address) + ">", "TO:");
  return path && path->parameters.empty() && path->address == address;
}

}  // namespace vellomar
