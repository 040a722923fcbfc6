#include "dns/dns_exchange.h"

#include "common/server_address.h"
#include "common/text.h"
#include "platform/host_lookup.h"
#include "platform/socket.h"
#include "platform/thread_handle.h"

namespace vellomar {

namespace {
constexpr size_t kReplySize = 2048;
constexpr size_t kHeaderSize = 12;
constexpr uint8_t kResponseBit = 0x80;
}  // namespace

bool AnswersQuery(const std::vector<uint8_t>& query, const std::vector<uint8_t>& reply) {
  if (query.size() <= kHeaderSize || reply.size() < query.size()) return false;
  if (reply[0] != query[0] || reply[1] != query[1] || (reply[2] & kResponseBit) == 0) return false;
  if (reply[4] != 0 || reply[5] != 1) return false;  // QDCOUNT: the one question
  // The query's question section is its name's labels, its end, type and class. Its length
  // bytes (below 64) and the type and class bytes are no letters, so folding every byte
  // compares the name without letter case and the rest exactly.
  for (size_t i = kHeaderSize; i < query.size(); ++i) {
    if (ToUpperAscii(static_cast<char>(reply[i])) != ToUpperAscii(static_cast<char>(query[i]))) return false;
  }
  return true;
}

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

bool DnsExchange::Ask(const std::vector<uint8_t>& query, std::chrono::milliseconds wait,
                      std::vector<uint8_t>& reply) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!SendDatagram(socket_.fd(), query.data(), query.size(), server_)) return false;
    if (AwaitReply(query, std::chrono::steady_clock::now() + wait, reply)) return true;
  }
  return false;
}

bool DnsExchange::AwaitReply(const std::vector<uint8_t>& query, std::chrono::steady_clock::time_point deadline,
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
    if (fromServer && AnswersQuery(query, reply)) return true;
  }
}

}  // namespace vellomar
