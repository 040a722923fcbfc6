#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_descriptor.h"

namespace vellomar::test {

// A DNS server for the resolver's tests, on 127.0.0.1 (or another loopback address) UDP:
// records every query and answers as the script says. The script may also ask for a stray
// datagram from another port before the answer. Given a script for TCP, it also listens on
// TCP at the same port and answers each query there, one per connection.
class DnsPeer {
 public:
  struct Answer {
    std::vector<uint8_t> reply;  // empty: no answer to this query
    std::vector<uint8_t> strayFirst;  // sent first, from another socket
  };
  using Script = std::function<Answer(const std::vector<uint8_t>& query)>;

  explicit DnsPeer(Script script, Script overTcp = {}, std::string host = "127.0.0.1");
  ~DnsPeer();

  // "127.0.0.1:port" or "[::1]:port", as the DNS setting takes it.
  std::string server() const;
  int port() const { return port_; }
  std::vector<std::vector<uint8_t>> Queries();
  std::vector<std::vector<uint8_t>> TcpQueries();

 private:
  void Serve();
  void AnswerOverTcp();

  Script script_;
  Script overTcp_;
  std::string host_;
  FileDescriptor socket_;
  FileDescriptor tcp_;
  FileDescriptor stray_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::vector<std::vector<uint8_t>> queries_;
  std::vector<std::vector<uint8_t>> tcpQueries_;
  std::thread thread_;
};

// Builds DNS replies for the tests, field by field.
class DnsReply {
 public:
  // Header with the given ID, the response bit, one question and `answers` answers; then
  // the question for `name` (type MX unless given, class IN).
  DnsReply(uint16_t id, uint16_t answers, const std::string& name, uint16_t type = 15);
  // The header of a reply to `query`, its question copied: `answers` answers follow.
  static DnsReply To(const std::vector<uint8_t>& query, uint16_t answers);
  // Sets the truncation bit.
  DnsReply& Truncated();
  DnsReply& Bytes(std::vector<uint8_t> bytes);
  DnsReply& Name(const std::string& name);  // labels and the final zero
  DnsReply& Pointer(uint16_t offset);
  DnsReply& U16(uint16_t value);
  // A whole MX record owned by a pointer to the question name.
  DnsReply& Mx(uint16_t preference, const std::string& exchange);
  // An A or AAAA record ("127.0.0.2", "::1") owned by a pointer to the question name.
  DnsReply& Address(const std::string& text);
  // A record of another type with opaque data.
  DnsReply& Other(uint16_t type, std::vector<uint8_t> data);
  std::vector<uint8_t> Build() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace vellomar::test
