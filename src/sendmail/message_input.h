#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vellomar {

// Finds where a message read from a local program ends, and hands on its bytes unchanged
// otherwise: with `dotEnds`, a line holding a lone "." (before LF or CR LF) ends it, as
// sendmail does without -i; with `unstuff` as well, a line's leading dot is taken off, as
// SMTP data (-bs) sends it. Line ends are not touched (the relay makes them CR LF). Pure
// logic; one message per object.
class MessageEnd {
 public:
  MessageEnd(bool dotEnds, bool unstuff) : dotEnds_(dotEnds), unstuff_(unstuff) {}
  // Appends the message's bytes of `input` to `out`; returns how many bytes of `input`
  // belong to the message (all, or up to and including the ending line).
  size_t Feed(std::string_view input, std::string& out);
  // At the end of the input: a dot still held goes out.
  void Finish(std::string& out);
  bool ended() const { return ended_; }

 private:
  const bool dotEnds_;
  const bool unstuff_;
  bool ended_ = false;
  bool lineStart_ = true;
  // A "." (and maybe a CR after it) that began the line, held until the next byte says
  // whether it ends the message.
  std::string held_;
};

// The recipients a message's header names in To:, Cc: and Bcc: (-t), from the start of the
// message: the header ends at its empty line, or at the first line that is no field.
// `complete` says whether the header's end was within `start`.
std::vector<std::string> HeaderRecipients(std::string_view start, bool& complete);

// The longest header read for -t before its recipients are taken from what was read.
constexpr size_t kMaxRecipientHeader = 1024 * 1024;

}  // namespace vellomar
