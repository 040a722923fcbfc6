#include "support/smtp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <memory>

#include "support/loopback.h"

namespace vellomar::test {

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd watched{fd, POLLIN, 0};
  return ::poll(&watched, 1, timeoutMs) == 1;
}

void SendText(int fd, const std::string& text) {
  size_t split = text.find(SmtpPeer::kSplit);
  if (split == std::string::npos) {
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    return;
  }
  std::string first = text.substr(0, split);
  std::string second = text.substr(split + std::string(SmtpPeer::kSplit).size());
  ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
  // Two segments, so the client sees the reply arrive in pieces.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::send(fd, second.data(), second.size(), MSG_NOSIGNAL);
}

}  // namespace

SmtpPeer::SmtpPeer(Script script, std::string greeting) : SmtpPeer(std::move(script), std::move(greeting), "127.0.0.1") {}

SmtpPeer::SmtpPeer(Script script, std::string greeting, const std::string& host, int port)
    : script_(std::move(script)),
      greeting_(std::move(greeting)),
      host_(host),
      port_(port),
      listener_(BindOn(host, SOCK_STREAM, 256, port_)) {
  // Inherited by every connection: a peer that stops reading soon stops the client's sends.
  int buffer = 64 * 1024;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  thread_ = std::thread([this] { Serve(); });
}

SmtpPeer::~SmtpPeer() {
  stopping_ = true;
  thread_.join();
  for (std::thread& conversation : conversations_) conversation.join();
}

std::string SmtpPeer::server() const {
  return (host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]") + ":" + std::to_string(port_);
}

std::vector<std::vector<std::string>> SmtpPeer::Transcripts() {
  std::lock_guard<std::mutex> guard(lock_);
  return transcripts_;
}

int SmtpPeer::Connections() {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(transcripts_.size());
}

std::string SmtpPeer::AcceptAll(int, const std::string& line) {
  // Command words in any case, as servers take them.
  std::string word = line.substr(0, 4);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (word == "DATA") return "354 go ahead\r\n";
  if (word == "QUIT") return "221 bye\r\n";
  return "250 ok\r\n";
}

void SmtpPeer::Serve() {
  for (int index = 0; !stopping_;) {
    if (!Readable(listener_.get(), 20)) continue;
    FileDescriptor connection(::accept(listener_.get(), nullptr, nullptr));
    if (!connection.valid()) continue;
    int one = 1;
    ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard<std::mutex> guard(lock_);
      transcripts_.emplace_back();
    }
    auto shared = std::make_shared<FileDescriptor>(std::move(connection));
    conversations_.emplace_back([this, index, shared] {
      Converse(index, std::move(*shared));
      ++ended_;
    });
    ++index;
  }
}

void SmtpPeer::Converse(int index, FileDescriptor connection) {
  SendText(connection.get(), greeting_);
  std::string pending;
  bool data = false;
  while (!stopping_) {
    size_t feed = pending.find('\n');
    if (feed == std::string::npos) {
      if (!Readable(connection.get(), 20)) continue;
      char buffer[65536];
      ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (got <= 0) return;
      pending.append(buffer, static_cast<size_t>(got));
      continue;
    }
    std::string line = pending.substr(0, feed + 1);
    pending.erase(0, feed + 1);
    {
      std::lock_guard<std::mutex> guard(lock_);
      transcripts_[index].push_back(line);
    }
    if (data && line != ".\r\n") continue;
    std::string reply = script_(index, line);
    data = reply.rfind("354", 0) == 0;
    if (reply == kClose) return;
    const std::string stall = kStall;
    bool stalls = reply.size() >= stall.size() && reply.compare(reply.size() - stall.size(), stall.size(), stall) == 0;
    if (stalls) reply.resize(reply.size() - stall.size());
    if (!reply.empty()) SendText(connection.get(), reply);
    for (auto until = std::chrono::steady_clock::now() + kStallTime; stalls && !stopping_ &&
                                                                     std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

}  // namespace vellomar::test
