#pragma once

#include <chrono>
#include <string>

#include "platform/connection.h"

namespace vellomar {

// Reads whole SMTP replies from a connection: the lines up to the one whose three-digit
// code is not followed by '-'. A line that does not start with three digits ends the reply
// at that line. Bytes that arrive after a reply are kept for the next one.
class ReplyReader {
 public:
  static constexpr size_t kMaxReply = 4096;

  // False when the connection was lost, the reply did not come within `wait`, or it grew
  // past kMaxReply.
  bool Read(Connection& connection, std::chrono::milliseconds wait, std::string& reply);
  // Forgets bytes received after the last reply.
  void Clear() { pending_.clear(); }

 private:
  // Moves the next complete line from pending_ to the reply; true when it ends the reply.
  bool TakeLine(std::string& reply, bool& ended);

  std::string pending_;
};

}  // namespace vellomar
