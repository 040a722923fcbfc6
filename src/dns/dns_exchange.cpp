#include "dns/dns_exchange.h"

#include <algorithm>

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
constexpr uint8_t kTruncationBit = 0x02;

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}
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

bool IsTruncated(const std::vector<uint8_t>& reply) { return reply.size() > 2 && (reply[2] & kTruncationBit) != 0; }

std::vector<uint8_t> FrameForTcp(const std::vector<uint8_t>& query) {
  std::vector<uint8_t> framed(query.size() + 2);
  framed[0] = static_cast<uint8_t>(query.size() >> 8);
  framed[1] = static_cast<uint8_t>(query.size() & 0xFF);
  std::copy(query.begin(), query.end(), framed.begin() + 2);
  return framed;
}

bool DnsExchange::Open(const std::string& server, int family, const std::function<bool()>& abandon) {
  ServerAddress parsed = ParseServerAddress(server, 53);
  if (parsed.host.empty()) return false;
  auto addresses = LookUpHost(parsed.host, parsed.port, family, abandon);
  if (!addresses) return false;
  server_ = addresses.value().front();
  abandon_ = abandon;
  return true;
}

bool DnsExchange::Ask(const std::vector<uint8_t>& query, std::chrono::milliseconds wait,
                      std::vector<uint8_t>& reply) {
  if (!udpOpen_) {
    auto socket = CreateUdpSocket(server_.family());
    if (!socket) return false;
    socket_.Open(std::move(socket.value()));
    udpOpen_ = true;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!SendDatagram(socket_.fd(), query.data(), query.size(), server_)) return false;
    if (!AwaitReply(query, std::chrono::steady_clock::now() + wait, reply)) continue;
    if (IsTruncated(reply)) {
      std::vector<uint8_t> whole;
      if (AskOverTcp(query, wait, whole)) reply = std::move(whole);
    }
    return true;
  }
  return false;
}

bool DnsExchange::AwaitReply(const std::vector<uint8_t>& query, std::chrono::steady_clock::time_point deadline,
                             std::vector<uint8_t>& reply) {
  for (;;) {
    auto left = Left(deadline);
    if (left.count() <= 0) return false;
    auto readable = WaitReadable(socket_.fd(), static_cast<int>(left.count()));
    if (!readable) return false;
    if (!readable.value()) return false;
    reply.assign(kReplySize, 0);
    SocketAddress from;
    auto got = ReceiveDatagram(socket_.fd(), reply.data(), reply.size(), from);
    if (!got) return false;
    // A cancel shuts the socket down, and from then on every receive returns at once.
    if (ThreadHandle* self = ThreadHandle::Current(); self != nullptr && self->IsCancelled()) return false;
    reply.resize(got.value());
    if (from == server_ && AnswersQuery(query, reply)) return true;
  }
}

// The TCP socket takes the UDP one's place under the cancel hook, for this query alone.
bool DnsExchange::AskOverTcp(const std::vector<uint8_t>& query, std::chrono::milliseconds wait,
                             std::vector<uint8_t>& reply) {
  auto socket = CreateTcpSocket(server_.family());
  if (!socket) return false;
  socket_.Open(std::move(socket.value()));
  udpOpen_ = false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::vector<uint8_t> length;
  bool answered = ConnectWithin(socket_.fd(), server_, wait, abandon_).ok();
  const std::vector<uint8_t> framed = FrameForTcp(query);
  answered = answered && Left(deadline).count() > 0 &&
             socket_.Send(std::string_view(reinterpret_cast<const char*>(framed.data()), framed.size()),
                          Left(deadline)).ok();
  answered = answered && ReceiveAll(2, deadline, length) &&
             ReceiveAll(static_cast<size_t>(length[0] << 8 | length[1]), deadline, reply) &&
             AnswersQuery(query, reply);
  socket_.Close();
  return answered;
}

bool DnsExchange::ReceiveAll(size_t size, std::chrono::steady_clock::time_point deadline, std::vector<uint8_t>& into) {
  into.assign(size, 0);
  for (size_t have = 0; have < size;) {
    auto left = Left(deadline);
    if (left.count() <= 0) return false;
    auto got = socket_.Receive(reinterpret_cast<char*>(into.data() + have), size - have, left);
    if (!got || got.value() == 0) return false;
    have += got.value();
  }
  return true;
}

}  // namespace vellomar
