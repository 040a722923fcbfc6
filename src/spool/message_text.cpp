#include "spool/message_text.h"

#include "spool/spool_format.h"

namespace vellomar {

void MessageTextEncoder::Feed(std::string_view raw, std::string& stored) {
  size_t at = 0;
  while (at < raw.size()) {
    char byte = raw[at];
    if (sawCr_) {
      sawCr_ = false;
      // CR LF is one line end, already written.
      if (byte == '\n') {
        ++at;
        continue;
      }
    }
    if (byte == '\r' || byte == '\n') {
      stored += "\r\n";
      sawCr_ = byte == '\r';
      lineStart_ = true;
      ++at;
      continue;
    }
    if (lineStart_ && byte == '.') stored += '.';
    lineStart_ = false;
    size_t end = raw.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = raw.size();
    stored.append(raw.substr(at, end - at));
    at = end;
  }
}

void MessageTextEncoder::Finish(std::string& stored) {
  if (!lineStart_) stored += "\r\n";
  stored += kEndOfDataLine;
  lineStart_ = true;
}

}  // namespace vellomar
