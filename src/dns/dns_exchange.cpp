#include "dns/dns_exchange.h"

#include "common/server_address.h"
#include "platform/host_lookup.h"
#include "platform/socket.h"
#include "platform/thread_handle.h"

namespace vellomar {

namespace {
constexpr size_t kReplySize = 2048;
constexpr uint8_t kResponseBit = 0x80;
}  // namespace

bool DnsExchange::Open(const std::string& server, const std::function<bool()>& abandon) {
  ServerAddress parsed = ParseServerAddress(server, 53);
  if (parsed.host.empty()) return false;
  auto address = LookUpIpv4(parsed.host, parsed.port, abandon);
  if (!address) return false;
  auto socket = CreateUdpSocket();
  if (!socket) return false;
  server_ = address.value();
  socket_.Open(std::move(socket.value()));
  return true;
}

bool DnsExchange::Ask(const std::vector<uint8_t>& query, uint16_t id, std::chrono::milliseconds wait,
                      std::vector<uint8_t>& reply) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!SendDatagram(socket_.fd(), query.data(), query.size(), server_)) return false;
    if (AwaitReply(id, std::chrono::steady_clock::now() + wait, reply)) return true;
  }
  return false;
}

bool DnsExchange::AwaitReply(uint16_t id, std::chrono::steady_clock::time_point deadline,
                             std::vector<uint8_t>& reply) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    auto readable = WaitReadable(socket_.fd(), static_cast<int>(left.count()));
    if (!readable) return false;
    if (!readable.value()) return false;
    reply.assign(kReplySize, 0);
    sockaddr_in from{};
    auto got = ReceiveDatagram(socket_.fd(), reply.data(), reply.size(), from);
    if (!got) return false;
    // A cancel shuts the socket down, and from then on every receive returns at once.
    if (ThreadHandle* self = ThreadHandle::Current(); self != nullptr && self->IsCancelled()) return false;
    reply.resize(got.value());
    bool fromServer = from.sin_addr.s_addr == server_.sin_addr.s_addr && from.sin_port == server_.sin_port;
    bool answersUs = reply.size() >= 12 && (reply[0] << 8 | reply[1]) == id && (reply[2] & kResponseBit) != 0;
    if (fromServer && answersUs) return true;
  }
}

}  // namespace vellomar
