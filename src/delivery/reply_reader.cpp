#include "delivery/reply_reader.h"

#include <cctype>

namespace vellomar {

namespace {

bool EndsReply(const std::string& line) {
  for (size_t i = 0; i < 3; ++i) {
    if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i]))) return true;
  }
  return line.size() == 3 || line[3] != '-';
}

}  // namespace

bool ReplyReader::TakeLine(std::string& reply, bool& ended) {
  size_t feed = pending_.find('\n');
  if (feed == std::string::npos) return false;
  std::string line = pending_.substr(0, feed + 1);
  pending_.erase(0, feed + 1);
  reply += line;
  ended = EndsReply(line);
  return true;
}

bool ReplyReader::Read(Connection& connection, std::chrono::milliseconds wait, std::string& reply) {
  reply.clear();
  auto deadline = std::chrono::steady_clock::now() + wait;
  char buffer[1024];
  for (;;) {
    bool ended = false;
    while (TakeLine(reply, ended)) {
      if (reply.size() > kMaxReply) return false;
      if (ended) return true;
    }
    if (reply.size() + pending_.size() > kMaxReply) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    auto got = connection.Receive(buffer, sizeof buffer, left);
    if (!got || got.value() == 0) return false;
    pending_.append(buffer, got.value());
  }
}

}  // namespace vellomar
