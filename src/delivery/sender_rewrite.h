#pragma once

#include <string>

namespace vellomar {

// An account whose provider lets it send only as its own address (RewriteSender=<address>)
// has its mail's sender made that address on the way out; the stored file keeps what the
// client sent. Pure text logic, no state.

// The MAIL line with its path replaced: "MAIL FROM:<old> SIZE=5\r\n" -> "MAIL FROM:<new> SIZE=5\r\n",
// everything around the path kept byte for byte. The null sender ("MAIL FROM:<>") is never
// rewritten: failure notices must go out without one. A line without a path is returned as is.
std::string RewriteMailLine(const std::string& mailLine, const std::string& address);

// The message's header block (every line up to and including the empty line that ends it, CR LF
// line ends, as on the wire) with its From: made `address`'s. The first mailbox's display name
// stays as written (quoted strings, comments and encoded words byte for byte), and the original
// From: value goes into a Reply-To: right after it, so that replies still reach the writer,
// unless the header has a Reply-To: already. A From: whose every mailbox is `address` (letter
// case ignored), or no From: at all, changes nothing; every other line is kept byte for byte.
std::string RewriteFromHeader(const std::string& header, const std::string& address);

}  // namespace vellomar
