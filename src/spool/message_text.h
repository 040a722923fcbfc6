#pragma once

#include <string>
#include <string_view>

namespace vellomar {

// Turns a message as a local program gives it (any line ends, no dot-stuffing, no end
// marker) into message data as the spool stores what an SMTP client sent: every line end
// (LF, CR LF or a bare CR) CR LF, a line that begins with "." given a second one, and the
// data ended by a line end and CR LF "." CR LF. Everything else, NUL bytes included, is
// stored as it came, as for an SMTP client. Pure logic; one message per object.
class MessageTextEncoder {
 public:
  void Feed(std::string_view raw, std::string& stored);
  // The end: a last line without its line end is given one, then the end-of-data line.
  void Finish(std::string& stored);

 private:
  bool lineStart_ = true;
  bool sawCr_ = false;
};

}  // namespace vellomar
