#pragma once

// The submitting side of the benchmarks: one SMTP connection to the relay on 127.0.0.1 that
// sends complete messages, in the described HELO dialogue (one command, one reply) or as
// mail programs do with EHLO and pipelining (MAIL, RCPT and DATA in one send, then their
// three replies). Every wait is bounded (60 s).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

class LoadClient {
 public:
  explicit LoadClient(bool pipelined) : pipelined_(pipelined) {}
  ~LoadClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  // Connects and greets (HELO or EHLO); false on any failure.
  bool Open(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || !Expect("220")) return false;
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return pipelined_ ? Send("EHLO bench\r\n") && Expect("250") : Send("HELO bench\r\n") && Expect("250");
  }

  // One message whose data (after a Subject line that carries `number`) is `size` bytes of
  // text lines.
  bool SendMessage(size_t size, long number = 0) {
    static const char* commands[] = {"MAIL FROM:<bench@example.org>\r\n", "RCPT TO:<sink@example.org>\r\n",
                                     "DATA\r\n"};
    bool ok = true;
    if (pipelined_) {
      ok = Send(std::string(commands[0]) + commands[1] + commands[2]) && Expect("250") && Expect("250") &&
           Expect("354");
    } else {
      ok = Send(commands[0]) && Expect("250") && Send(commands[1]) && Expect("250") && Send(commands[2]) &&
           Expect("354");
    }
    ok = ok && Send("Subject: load " + std::to_string(number) + "\r\n\r\n");
    const std::string& block = Block();
    for (size_t left = size; ok && left > 0;) {
      size_t piece = std::min(left, block.size());
      ok = Send(std::string_view(block.data(), piece));
      left -= piece;
    }
    return ok && Send("\r\n.\r\n") && Expect("250");
  }

  bool Quit() { return Send("QUIT\r\n") && Expect("221"); }

 private:
  static const std::string& Block() {
    static const std::string block = [] {
      std::string text;
      while (text.size() < 64 * 1024) text += "The quick brown fox jumps over the lazy dog, again and again.\r\n";
      return text;
    }();
    return block;
  }

  bool Send(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // The next whole reply (the last line of a multi-line one) starts with the code.
  bool Expect(const char* code) {
    for (;;) {
      size_t feed = pending_.find('\n');
      if (feed == std::string::npos) {
        if (!Receive()) return false;
        continue;
      }
      std::string line = pending_.substr(0, feed + 1);
      pending_.erase(0, feed + 1);
      if (line.size() > 3 && line[3] == '-') continue;
      return line.rfind(code, 0) == 0;
    }
  }

  bool Receive() {
    pollfd watched{fd_, POLLIN, 0};
    if (::poll(&watched, 1, 60000) != 1) return false;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  bool pipelined_;
  int fd_ = -1;
  std::string pending_;
};
