#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellomar {

// The argument of a MAIL or RCPT command taken apart: "FROM:<path>" or "TO:<path>" (the word
// in any case, blanks allowed after the colon as many clients send them), then parameters,
// each after a blank.
struct MailPath {
  // Between the brackets, without the source route that RFC 5321 asks servers to ignore;
  // empty for the null path "<>".
  std::string address;
  // Keyword and value ("" when the parameter has none), as sent.
  std::vector<std::pair<std::string, std::string>> parameters;
};

// The longest path, brackets included (RFC 5321, 4.5.3.1.3).
constexpr size_t kMaxPath = 256;

// Nothing when the argument is not `word` followed by a well-formed path and parameters, or
// when the path is longer than kMaxPath. An address holds no bracket, and no blank outside a
// quoted local part, so that a line stored from it reads back as it was meant; it is ASCII,
// and its domain is RFC 5321's (labels of letters, digits and inner hyphens) or an address
// literal.
std::optional<MailPath> ParseMailPath(std::string_view argument, std::string_view word);

// Whether the path of a MAIL or RCPT argument holds bytes beyond ASCII: an address that only
// SMTPUTF8 (RFC 6531) could carry.
bool HasEightBitPath(std::string_view argument);

}  // namespace vellomar

namespace vellomar {

// The longest mailbox a path holds (kMaxPath without its brackets).
constexpr size_t kMaxMailbox = kMaxPath - 2;

// An address given outside SMTP (by a local program, in a drop file) that a RCPT or MAIL
// path could carry as it is: a mailbox of at most kMaxMailbox bytes, no source route, no
// control character, no bracket, no blank outside quotes.
bool IsPathMailbox(std::string_view address);

}  // namespace vellomar
