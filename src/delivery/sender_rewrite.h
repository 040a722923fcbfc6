#pragma once

#include <cstddef>
#include <string>
#include <utility>

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

// The header block of a message's data collected as the data goes out, piece by piece as
// read from the spool file, and given back with its From: rewritten once it is whole (at the
// empty line that ends it, or at the end of the data for a message without a body). A header
// that grows past kMaxHeader goes out as it is: no From: rewrite is worth holding a message
// of headers in memory.
class HeaderRewrite {
 public:
  static constexpr size_t kMaxHeader = 1024 * 1024;
  // Empty: every piece goes out as it comes.
  explicit HeaderRewrite(std::string address) : address_(std::move(address)), done_(address_.empty()) {}

  // What to send for this piece; `startsLine` when it begins a line of the file.
  std::string Take(const std::string& piece, bool startsLine);

 private:
  std::string address_;
  std::string header_;
  bool done_;
};

}  // namespace vellomar
