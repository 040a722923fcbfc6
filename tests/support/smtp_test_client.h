#pragma once

#include <string>
#include <string_view>

#include "platform/file_descriptor.h"

namespace vellomar::test {

// A plain TCP client (by default on 127.0.0.1) that talks to the relay as a mail program would, and
// reads back exactly the bytes it is sent. Every wait is bounded.
class SmtpTestClient {
 public:
  explicit SmtpTestClient(int port);
  // To `server` (an IPv4 or IPv6 address) from `source` when one is given, so that a test can
  // be another loopback client (127.0.0.2) or an IPv6 one (::1).
  SmtpTestClient(int port, const std::string& server, const std::string& source = "");
  // True when a connection to the port is refused.
  static bool Refused(int port);

  bool connected() const { return fd_.valid(); }
  void Send(std::string_view text);
  // Sends `unit` again and again without reading, until the server has taken nothing for
  // `stallMs` or closed the connection (at most 20 s); the bytes sent.
  size_t Flood(std::string_view unit, int stallMs);
  // Bytes up to and including the next line feed (or whatever came before the connection
  // closed or the time ran out).
  std::string ReadReply(int timeoutMs = 20000);
  // A whole reply, multi-line ones ("250-...") included, as one text.
  std::string ReadFullReply(int timeoutMs = 20000);
  // True when the server closes the connection within the time; bytes that still arrive
  // before the close are collected in `rest`.
  bool WaitClosed(int timeoutMs = 20000, std::string* rest = nullptr);
  // True when nothing arrives within the time (and the connection stays open).
  bool Silent(int timeoutMs);
  void Close() { (void)fd_.Close(); }  // a test hangs up; the peer's view is what is checked

 private:
  FileDescriptor fd_;
  std::string pending_;
};

}  // namespace vellomar::test

#include "support/eventually.h"
