#pragma once

#include <string>
#include <string_view>

namespace vellomar {

// Letter case is ignored the way the protocol and the file names need it: A-Z against a-z,
// every other byte compared as it is, whatever the locale. Multibyte UTF-8 text is left
// intact, since no byte of a multibyte sequence is an ASCII letter.
char ToUpperAscii(char c);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// The longest reply text copied anywhere: a line of a failure notice or of the log, not a
// channel for whatever a server cares to send.
constexpr size_t kMaxReplyText = 512;

// A server's reply as it may be copied into a failure notice, a log line or a last error: up
// to its first CR, each other control character (a bare LF, NUL, DEL, ...) a blank, so that
// nobody downstream reads a line end, a lone "." or a cut where we did not; at most
// kMaxReplyText bytes, never cut inside a UTF-8 sequence.
std::string ReplyText(std::string_view reply);

}  // namespace vellomar
