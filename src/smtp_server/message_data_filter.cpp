#include "smtp_server/message_data_filter.h"

#include <cstring>

#include "spool/spool_format.h"

namespace vellomar {

namespace {

// The position of the first CR or LF from `from` on, or the size. find_first_of calls memchr
// on the two-byte set for every byte of the message; a memchr for each of the two bytes costs
// a fraction of that. `lf` keeps the next LF found (npos before the first search), so that a
// line full of bare CRs is still scanned for its LF once.
size_t LineEnd(std::string_view input, size_t from, size_t& lf) {
  if (lf == std::string_view::npos || lf < from) {
    const void* found = std::memchr(input.data() + from, '\n', input.size() - from);
    lf = found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - input.data()) : input.size();
  }
  const void* cr = std::memchr(input.data() + from, '\r', lf - from);
  return cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - input.data()) : lf;
}

}  // namespace

size_t MessageDataFilter::Feed(std::string_view input, std::string& stored) {
  size_t at = 0;
  size_t lf = std::string_view::npos;
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
      size_t end = LineEnd(input, at, lf);
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
