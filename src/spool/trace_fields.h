#pragma once

#include <string_view>

namespace vellomar {

// More trace fields than this and a message is taken to be going round a loop (RFC 5321,
// 6.3): it is refused where it arrives ("554 5.4.6 Too many hops").
constexpr int kMaxTraceFields = 50;

// Counts the trace fields ("Received:", any letter case, blanks allowed before the colon) of a
// message's header as its data goes by in pieces of any size; the header ends at its first
// empty line, and nothing after it counts. Line ends may be CR LF or LF alone. Holds nothing
// of the data but where it stands in the current line. Pure logic; one message per object.
class TraceFieldCounter {
 public:
  void Feed(std::string_view data);
  int count() const { return count_; }
  bool TooMany() const { return count_ > kMaxTraceFields; }
  // The header's empty line has gone by: nothing more can count.
  bool headerEnded() const { return headerEnded_; }

 private:
  enum class Line {
    Start,     // nothing of the line yet
    Cr,        // a CR alone so far: the empty line, if LF follows
    Name,      // "received" matched up to `matched_`
    AfterName, // all of it, and perhaps blanks
    Judged,    // the rest of the line does not matter
  };
  void Take(char c);

  Line line_ = Line::Start;
  size_t matched_ = 0;
  bool headerEnded_ = false;
  int count_ = 0;
};

}  // namespace vellomar
