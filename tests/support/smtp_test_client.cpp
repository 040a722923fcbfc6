#include "support/smtp_test_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <utility>

namespace vellomar::test {

namespace {

// Receives once within the time: >0 bytes appended, 0 closed, -1 nothing came or error.
int ReceiveOnce(int fd, std::string& into, int timeoutMs) {
  pollfd watched{fd, POLLIN, 0};
  if (::poll(&watched, 1, timeoutMs) != 1) return -1;
  char buffer[4096];
  ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  if (got < 0) return errno == ECONNRESET ? 0 : -1;
  into.append(buffer, static_cast<size_t>(got));
  return static_cast<int>(got);
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

namespace {

bool ConnectTo(int fd, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

bool SmtpTestClient::Refused(int port) {
  FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return !ConnectTo(fd.get(), port) && errno == ECONNREFUSED;
}

namespace {

// The address and its length; family 0 when the text is not an address.
std::pair<sockaddr_storage, socklen_t> SocketAddress(const std::string& text, int port) {
  sockaddr_storage storage{};
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(storage);
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (::inet_pton(AF_INET, text.c_str(), &ipv4.sin_addr) == 1) {
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<uint16_t>(port));
    return {storage, sizeof ipv4};
  }
  if (::inet_pton(AF_INET6, text.c_str(), &ipv6.sin6_addr) == 1) {
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(static_cast<uint16_t>(port));
    return {storage, sizeof ipv6};
  }
  ADD_FAILURE() << "not an address: " << text;
  return {storage, 0};
}

}  // namespace

SmtpTestClient::SmtpTestClient(int port, const std::string& server, const std::string& source) {
  auto [to, toLength] = SocketAddress(server, port);
  fd_ = FileDescriptor(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!source.empty()) {
    auto [from, fromLength] = SocketAddress(source, 0);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&from), fromLength) != 0) {
      ADD_FAILURE() << "bind to " << source << " failed: " << std::strerror(errno);
      (void)fd_.Close();  // the failure is already reported
      return;
    }
  }
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to), toLength) != 0) {
    ADD_FAILURE() << "connect to " << server << " port " << port << " failed: " << std::strerror(errno);
    (void)fd_.Close();  // the failure is already reported
  }
}

SmtpTestClient::SmtpTestClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!ConnectTo(fd_.get(), port)) {
    ADD_FAILURE() << "connect to port " << port << " failed";
    (void)fd_.Close();  // the failure is already reported above
  }
}

void SmtpTestClient::Send(std::string_view text) {
  while (!text.empty()) {
    ssize_t put = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
    if (put <= 0) {
      ADD_FAILURE() << "send failed";
      return;
    }
    text.remove_prefix(static_cast<size_t>(put));
  }
}

size_t SmtpTestClient::Flood(std::string_view unit, int stallMs) {
  std::string batch;
  while (batch.size() < 64 * 1024) batch += unit;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Replies then pile up in the server's send buffer soon, as they would from a slow reader.
  int small = 4096;
  (void)::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // only quicker with it
  size_t sent = 0;
  pollfd watched{fd_.get(), POLLOUT, 0};
  while (std::chrono::steady_clock::now() < deadline && ::poll(&watched, 1, stallMs) == 1) {
    // Each send goes on where the last one stopped, so that the server sees whole commands.
    size_t offset = sent % batch.size();
    ssize_t put = ::send(fd_.get(), batch.data() + offset, batch.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno != EAGAIN) break;
    if (put > 0) sent += static_cast<size_t>(put);
  }
  return sent;
}

std::string SmtpTestClient::ReadReply(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pending_.find('\n') == std::string::npos) {
    if (ReceiveOnce(fd_.get(), pending_, RemainingMs(deadline)) <= 0) break;
  }
  size_t feed = pending_.find('\n');
  size_t take = feed == std::string::npos ? pending_.size() : feed + 1;
  std::string reply = pending_.substr(0, take);
  pending_.erase(0, take);
  return reply;
}

std::string SmtpTestClient::ReadFullReply(int timeoutMs) {
  std::string reply;
  std::string line;
  do {
    line = ReadReply(timeoutMs);
    reply += line;
  } while (line.size() > 3 && line[3] == '-');
  return reply;
}

bool SmtpTestClient::WaitClosed(int timeoutMs, std::string* rest) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string collected = pending_;
  pending_.clear();
  for (;;) {
    int got = ReceiveOnce(fd_.get(), collected, RemainingMs(deadline));
    if (got == 0) break;
    if (got < 0) return false;
  }
  if (rest) *rest = collected;
  return true;
}

bool SmtpTestClient::Silent(int timeoutMs) {
  pollfd watched{fd_.get(), POLLIN, 0};
  return pending_.empty() && ::poll(&watched, 1, timeoutMs) == 0;
}

}  // namespace vellomar::test
