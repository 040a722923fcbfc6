#include "smtp_server/message_data_filter.h"

#include "spool/spool_format.h"

namespace vellomar {

size_t MessageDataFilter::Feed(std::string_view input, std::string& stored) {
  size_t at = 0;
  while (at < input.size() && !ended_) {
    char byte = input[at];
    if (sawCr_) {
      sawCr_ = false;
      EndLine(byte == '\n', stored);
      if (byte == '\n') {
        ++at;
        continue;
      }
    }
    if (byte == '\r') {
      sawCr_ = true;
      ++at;
    } else if (byte == '\n') {
      EndLine(false, stored);
      ++at;
    } else {
      // The run of ordinary bytes up to the next line end goes in one piece.
      size_t end = input.find_first_of("\r\n", at);
      if (end == std::string_view::npos) end = input.size();
      Ordinary(input.substr(at, end - at), stored);
      at = end;
    }
  }
  return at;
}

void MessageDataFilter::Ordinary(std::string_view run, std::string& stored) {
  if (lineStart_) {
    lineStart_ = false;
    if (run.front() == '.') {
      heldDot_ = true;
      run.remove_prefix(1);
    }
  }
  if (run.empty()) return;
  if (heldDot_) {
    // A line that goes on after its dot is stored as the client stuffed it.
    stored += '.';
    heldDot_ = false;
    ++stuffingDots_;
  }
  stored.append(run);
}

void MessageDataFilter::EndLine(bool crlf, std::string& stored) {
  if (heldDot_) {
    heldDot_ = false;
    if (crlf && cleanStart_) {
      stored += kEndOfDataLine;
      ended_ = true;
      return;
    }
    stored += "..";
    ++stuffingDots_;
  }
  stored += "\r\n";
  lineStart_ = true;
  cleanStart_ = crlf;
}

}  // namespace vellomar
