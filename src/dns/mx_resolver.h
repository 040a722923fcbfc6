#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vellomar {

// Finds the mail exchanger of a domain with one DNS query of type MX, sent over UDP to the
// server the DNS setting names (host or address, optionally ":port"). No cache: every call
// queries. Used by one delivery worker; every lookup has its own socket.
class MxResolver {
 public:
  using Log = std::function<void(const std::string& line)>;
  // `dnsServer` is the DNS setting; each try waits at most `wait`; `log` takes the log line of
  // a DNS server that cannot be found; `abandon` ends any wait when it turns true.
  MxResolver(std::string dnsServer, std::chrono::milliseconds wait, Log log, std::function<bool()> abandon)
      : dnsServer_(std::move(dnsServer)), wait_(wait), log_(std::move(log)), abandon_(std::move(abandon)) {}

  // The host name of the exchanger with the lowest preference (the first among equals), or
  // "" when there is none, the name is not valid, or no reply came.
  std::string LookupMx(const std::string& domain);

  // The query name as length-prefixed labels, without the final zero byte; "" when the
  // domain is not a valid name (one trailing dot is dropped first).
  static std::string EncodeQueryName(const std::string& domain);
  // Appends the name at `position` to `name` and moves `position` past it. False when the
  // name runs past the reply, follows more than 32 pointers, grows beyond 255 characters or
  // uses a reserved label type.
  static bool DecodeName(const std::vector<uint8_t>& reply, size_t& position, std::string& name);
  // The chosen exchanger among the reply's answers; on a malformed reply the best found
  // before the fault, or "".
  static std::string ParseMxAnswer(const std::vector<uint8_t>& reply, unsigned answerCount);
  // The whole query datagram for an encoded name, with the transaction ID `id`. Each lookup
  // draws its ID at random, so that only the server that got the query can answer it.
  static std::vector<uint8_t> BuildQuery(const std::string& encodedName, uint16_t id);

 private:
  std::string dnsServer_;
  std::chrono::milliseconds wait_;
  Log log_;
  std::function<bool()> abandon_;
};

}  // namespace vellomar
