#include "support/dns_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace vellomar::test {

namespace {

FileDescriptor BoundUdp(int& port) {
  FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

DnsPeer::DnsPeer(Script script) : script_(std::move(script)) {
  int ignored;
  socket_ = BoundUdp(port_);
  stray_ = BoundUdp(ignored);
  thread_ = std::thread([this] { Serve(); });
}

DnsPeer::~DnsPeer() {
  stopping_ = true;
  thread_.join();
}

std::vector<std::vector<uint8_t>> DnsPeer::Queries() {
  std::lock_guard<std::mutex> guard(lock_);
  return queries_;
}

void DnsPeer::Serve() {
  while (!stopping_) {
    pollfd watched{socket_.get(), POLLIN, 0};
    if (::poll(&watched, 1, 20) != 1) continue;
    std::vector<uint8_t> query(2048);
    sockaddr_in from{};
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

DnsReply::DnsReply(uint16_t id, uint16_t answers, const std::string& name) {
  U16(id).Bytes({0x81, 0x80}).U16(1).U16(answers).U16(0).U16(0).Name(name).U16(15).U16(1);
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
