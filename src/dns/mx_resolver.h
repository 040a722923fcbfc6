#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace vellomar {

class DnsExchange;

// Finds the mail exchangers of a domain, and the addresses of a host, with DNS queries of
// its own (MX, AAAA and A), sent to the server the DNS setting names (host or address,
// optionally ":port"), over UDP and over TCP for a truncated reply. No cache: every call
// queries. Used by one delivery worker; every lookup has its own socket.
class MxResolver {
 public:
  using Log = std::function<void(const std::string& line)>;
  static constexpr uint16_t kTypeA = 1;
  static constexpr uint16_t kTypeMx = 15;
  static constexpr uint16_t kTypeAaaa = 28;
  // Exchangers past this many are not tried, nor addresses of one host past this many: a
  // domain's answer cannot hold a delivery for hours of connect time-outs.
  static constexpr size_t kMaxExchangers = 10;
  static constexpr size_t kMaxAddresses = 10;

  // `dnsServer` is the DNS setting; each try waits at most `wait`; `log` takes the log line of
  // a DNS server that cannot be found; `abandon` ends any wait when it turns true; `family`
  // (AF_UNSPEC, AF_INET or AF_INET6, after `IPFamily`) limits the address records asked for.
  MxResolver(std::string dnsServer, std::chrono::milliseconds wait, Log log, std::function<bool()> abandon,
             int family = AF_UNSPEC)
      : dnsServer_(std::move(dnsServer)),
        wait_(wait),
        log_(std::move(log)),
        abandon_(std::move(abandon)),
        family_(family) {}

  // The domain's exchangers in order of preference, those of equal preference in the order of
  // the reply, each once; none when there is none, the name is not valid, no reply came, or
  // the best is the root (a domain that takes no mail).
  std::vector<std::string> LookupExchangers(const std::string& domain);
  // The addresses of a host with the given port: its AAAA records, then its A records, as the
  // family allows, in the order of the replies, each once. An address as text is itself.
  std::vector<SocketAddress> LookupAddresses(const std::string& host, uint16_t port);

  // The query name as length-prefixed labels, without the final zero byte; "" when the
  // domain is not a valid name (one trailing dot is dropped first).
  static std::string EncodeQueryName(const std::string& domain);
  // Appends the name at `position` to `name` and moves `position` past it. False when the
  // name runs past the reply, follows more than 32 pointers, grows beyond 255 characters or
  // uses a reserved label type.
  static bool DecodeName(const std::vector<uint8_t>& reply, size_t& position, std::string& name);
  // The exchangers among the reply's answers, by preference (stable); on a malformed reply
  // those read before the fault. The root is kept, as "".
  static std::vector<std::string> ParseMxAnswers(const std::vector<uint8_t>& reply, unsigned answerCount);
  // The first of them, or "".
  static std::string ParseMxAnswer(const std::vector<uint8_t>& reply, unsigned answerCount);
  // The addresses in the reply's answers of `type` (A: 4 bytes of data, AAAA: 16; records of
  // another type or length are passed over), each with `port`; on a malformed reply those read
  // before the fault.
  static std::vector<SocketAddress> ParseAddressAnswers(const std::vector<uint8_t>& reply, unsigned answerCount,
                                                        uint16_t type, uint16_t port);
  // The whole query datagram for an encoded name, with the transaction ID `id`. Each lookup
  // draws its ID at random, so that only the server that got the query can answer it.
  static std::vector<uint8_t> BuildQuery(const std::string& encodedName, uint16_t id, uint16_t type = kTypeMx);

 private:
  // The reply to one query for the name, and its answer count; false when none came.
  bool Query(DnsExchange& exchange, const std::string& encoded, uint16_t type, std::vector<uint8_t>& reply,
             unsigned& answerCount);
  bool OpenExchange(DnsExchange& exchange);

  std::string dnsServer_;
  std::chrono::milliseconds wait_;
  Log log_;
  std::function<bool()> abandon_;
  int family_;
};

}  // namespace vellomar
