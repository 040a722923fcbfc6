#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vellomar {

// Turns the bytes a client sends after "354" into the message data as it is stored, and finds
// where that data ends. Every line end is stored as CR LF: a bare LF or a bare CR would reach
// the next relay unchanged, and servers that read such line ends differently can be made to
// see a message end, and commands after it, where we saw none. Only CR LF "." CR LF ends the
// data; a lone "." line framed by any other line end stays message content and is stored
// dot-stuffed (".."), so that it never turns into an end marker once its line ends are
// mended. Everything else, NUL bytes and the client's own dot-stuffing included, is stored as
// it came. Pure logic: it owns no socket and no file.
class MessageDataFilter {
 public:
  // Filters `input`, appending what is to be stored to `stored`. Returns how many bytes of
  // `input` belong to the data: all of them, or up to and including the end marker, after
  // which the rest is the client's next command.
  size_t Feed(std::string_view input, std::string& stored);
  // The end marker has been seen; the stored data then ends in CR LF "." CR LF.
  bool ended() const { return ended_; }
  // The dots stored in front of lines that begin with one (the transparency of RFC 5321,
  // 4.5.2): the message itself holds them not.
  uint64_t stuffingDots() const { return stuffingDots_; }

 private:
  void EndLine(bool crlf, std::string& stored);
  void Ordinary(std::string_view run, std::string& stored);

  bool ended_ = false;
  // The next byte starts a line; the data itself starts right after the DATA line's CR LF.
  bool lineStart_ = true;
  // The current line began after a real CR LF.
  bool cleanStart_ = true;
  // A CR was the last byte: a line end either way, CR LF or a bare CR.
  bool sawCr_ = false;
  // The current line is so far a lone ".", held back until its line end shows what it is.
  bool heldDot_ = false;
  uint64_t stuffingDots_ = 0;
};

}  // namespace vellomar
