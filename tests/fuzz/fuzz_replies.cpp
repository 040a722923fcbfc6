// The client's reply reader fed whatever a server may send, through a real socket: each reply
// it returns is whole lines, within its size limit, and the replies are what was sent, in
// order. The text copied from a reply into a notice or the log is one bounded line.
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "common/text.h"
#include "delivery/reply_reader.h"
#include "fuzz_check.h"
#include "platform/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::string sent(reinterpret_cast<const char*>(data), size);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  FileDescriptor server(pair[1]);
  // Far below the socket's buffer: sent whole at once.
  Check(::send(server.get(), sent.data(), sent.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sent.size()), "sent");
  (void)server.Close();  // the end of what the server says
  Connection connection{FileDescriptor(pair[0])};
  ReplyReader reader;
  std::string read;
  for (std::string reply; reader.Read(connection, std::chrono::seconds(5), reply);) {
    Check(!reply.empty() && reply.back() == '\n', "a reply is whole lines");
    Check(reply.size() <= ReplyReader::kMaxReply, "a reply keeps within its limit");
    std::string text = ReplyText(reply);
    Check(text.size() <= kMaxReplyText, "reply text is bounded");
    for (char c : text) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "reply text has no control character");
    read += reply;
  }
  Check(sent.compare(0, read.size(), read) == 0, "the replies are what was sent, in order");
  return 0;
}
