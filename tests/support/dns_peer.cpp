#include "support/dns_peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "support/loopback.h"

namespace vellomar::test {

DnsPeer::DnsPeer(Script script, Script overTcp, std::string host)
    : script_(std::move(script)), overTcp_(std::move(overTcp)), host_(std::move(host)) {
  int ignored = 0;
  stray_ = BindOn(host_, SOCK_DGRAM, 0, ignored);
  // The TCP twin of a port the system chose for UDP may be taken: then another port.
  for (int attempt = 0; attempt < 20; ++attempt) {
    port_ = 0;
    socket_ = BindOn(host_, SOCK_DGRAM, 0, port_);
    if (!overTcp_) break;
    int same = port_;
    tcp_ = TryBindOn(host_, SOCK_STREAM, 8, same);
    if (tcp_.valid()) break;
  }
  EXPECT_TRUE(!overTcp_ || tcp_.valid()) << "no port free for both UDP and TCP on " << host_;
  thread_ = std::thread([this] { Serve(); });
}

DnsPeer::~DnsPeer() {
  stopping_ = true;
  thread_.join();
}

std::string DnsPeer::server() const {
  return (host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]") + ":" + std::to_string(port_);
}

std::vector<std::vector<uint8_t>> DnsPeer::TcpQueries() {
  std::lock_guard<std::mutex> guard(lock_);
  return tcpQueries_;
}

std::vector<std::vector<uint8_t>> DnsPeer::Queries() {
  std::lock_guard<std::mutex> guard(lock_);
  return queries_;
}

namespace {

// Exactly `size` bytes within a second, or nothing.
bool ReadExactly(int fd, uint8_t* into, size_t size) {
  for (size_t have = 0; have < size;) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 1000) != 1) return false;
    ssize_t got = ::recv(fd, into + have, size - have, 0);
    if (got <= 0) return false;
    have += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void DnsPeer::AnswerOverTcp() {
  FileDescriptor connection(::accept4(tcp_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  uint8_t length[2];
  if (!connection.valid() || !ReadExactly(connection.get(), length, 2)) return;
  std::vector<uint8_t> query(static_cast<size_t>(length[0] << 8 | length[1]));
  if (!ReadExactly(connection.get(), query.data(), query.size())) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    tcpQueries_.push_back(query);
  }
  std::vector<uint8_t> reply = overTcp_(query).reply;
  if (reply.empty()) return;
  reply.insert(reply.begin(), {static_cast<uint8_t>(reply.size() >> 8), static_cast<uint8_t>(reply.size())});
  ::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
}

void DnsPeer::Serve() {
  while (!stopping_) {
    pollfd watched[2] = {{socket_.get(), POLLIN, 0}, {tcp_.get(), POLLIN, 0}};
    if (::poll(watched, tcp_.valid() ? 2 : 1, 20) < 1) continue;
    if (tcp_.valid() && watched[1].revents != 0) AnswerOverTcp();
    if (watched[0].revents == 0) continue;
    std::vector<uint8_t> query(2048);
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    ssize_t got = ::recvfrom(socket_.get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) continue;
    query.resize(static_cast<size_t>(got));
    {
      std::lock_guard<std::mutex> guard(lock_);
      queries_.push_back(query);
    }
    Answer answer = script_(query);
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&from);
    if (!answer.strayFirst.empty()) ::sendto(stray_.get(), answer.strayFirst.data(), answer.strayFirst.size(), 0, to, length);
    if (!answer.reply.empty()) ::sendto(socket_.get(), answer.reply.data(), answer.reply.size(), 0, to, length);
  }
}

DnsReply::DnsReply(uint16_t id, uint16_t answers, const std::string& name, uint16_t type) {
  U16(id).Bytes({0x81, 0x80}).U16(1).U16(answers).U16(0).U16(0).Name(name).U16(type).U16(1);
}

DnsReply DnsReply::To(const std::vector<uint8_t>& query, uint16_t answers) {
  DnsReply reply(0, answers, "");
  reply.bytes_.assign(query.begin(), query.end());
  reply.bytes_[2] = 0x81;
  reply.bytes_[3] = 0x80;
  reply.bytes_[6] = static_cast<uint8_t>(answers >> 8);
  reply.bytes_[7] = static_cast<uint8_t>(answers);
  return reply;
}

DnsReply& DnsReply::Truncated() {
  bytes_[2] |= 0x02;
  return *this;
}

DnsReply& DnsReply::Address(const std::string& text) {
  std::vector<uint8_t> data(16);
  if (::inet_pton(AF_INET6, text.c_str(), data.data()) == 1) return Other(28, data);
  data.resize(4);
  ::inet_pton(AF_INET, text.c_str(), data.data());
  return Other(1, data);
}

DnsReply& DnsReply::Bytes(std::vector<uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

DnsReply& DnsReply::Name(const std::string& name) {
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    bytes_.push_back(static_cast<uint8_t>(dot - start));
    bytes_.insert(bytes_.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  bytes_.push_back(0);
  return *this;
}

DnsReply& DnsReply::Pointer(uint16_t offset) { return Bytes({static_cast<uint8_t>(0xC0 | offset >> 8), static_cast<uint8_t>(offset)}); }

DnsReply& DnsReply::U16(uint16_t value) { return Bytes({static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}); }

DnsReply& DnsReply::Mx(uint16_t preference, const std::string& exchange) {
  size_t nameLength = exchange.empty() ? 1 : exchange.size() + 2;
  Pointer(12).U16(15).U16(1).Bytes({0, 0, 1, 0}).U16(static_cast<uint16_t>(2 + nameLength)).U16(preference);
  return Name(exchange);
}

DnsReply& DnsReply::Other(uint16_t type, std::vector<uint8_t> data) {
  Pointer(12).U16(type).U16(1).Bytes({0, 0, 1, 0}).U16(static_cast<uint16_t>(data.size()));
  return Bytes(std::move(data));
}

}  // namespace vellomar::test
