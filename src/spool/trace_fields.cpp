#include "spool/trace_fields.h"

#include "common/text.h"

namespace vellomar {

namespace {

constexpr std::string_view kFieldName = "RECEIVED";

}  // namespace

void TraceFieldCounter::Feed(std::string_view data) {
  for (char c : data) {
    if (headerEnded_) return;
    Take(c);
  }
}

void TraceFieldCounter::Take(char c) {
  if (c == '\n') {
    headerEnded_ = line_ == Line::Start || line_ == Line::Cr;
    line_ = Line::Start;
    matched_ = 0;
    return;
  }
  switch (line_) {
    case Line::Start:
      line_ = c == '\r' ? Line::Cr : Line::Name;
      if (line_ == Line::Name) Take(c);
      return;
    case Line::Cr:
      line_ = Line::Judged;
      return;
    case Line::Name:
      if (ToUpperAscii(c) != kFieldName[matched_]) {
        line_ = Line::Judged;
      } else if (++matched_ == kFieldName.size()) {
        line_ = Line::AfterName;
      }
      return;
    case Line::AfterName:
      if (c == ':') ++count_;
      if (c != ' ' && c != '\t') line_ = Line::Judged;
      return;
    case Line::Judged:
      return;
  }
}

}  // namespace vellomar
