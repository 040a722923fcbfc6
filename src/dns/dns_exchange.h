#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/connection.h"
#include "platform/socket_address.h"

namespace vellomar {

// Queries and their replies with one DNS server: over UDP, and over TCP for a reply that came
// truncated. Each query goes out on a socket of the exchange's own, watched by the calling
// thread's cancel hook while it is open and closed when the exchange ends; every wait is
// bounded and takes only the server's answer to that query.
class DnsExchange {
 public:
  // Resolves the server text ("host", "host:port", "[IPv6]:port" or a bare IPv6 address; port
  // 53 by default) to its first address of `family` (AF_UNSPEC: either). `abandon` ends the
  // server's name lookup, and the TCP connect, when it turns true.
  bool Open(const std::string& server, int family, const std::function<bool()>& abandon);
  // Sends the query over UDP and waits for the reply, resending once when the first wait runs
  // out. Datagrams from elsewhere, or that do not answer this query, are ignored. A reply with
  // the truncation bit set is asked again over TCP to the same server, within `wait`; when
  // that fails, the truncated reply is what there is.
  bool Ask(const std::vector<uint8_t>& query, std::chrono::milliseconds wait, std::vector<uint8_t>& reply);

 private:
  bool AwaitReply(const std::vector<uint8_t>& query, std::chrono::steady_clock::time_point deadline,
                  std::vector<uint8_t>& reply);
  bool AskOverTcp(const std::vector<uint8_t>& query, std::chrono::milliseconds wait, std::vector<uint8_t>& reply);
  bool ReceiveAll(size_t size, std::chrono::steady_clock::time_point deadline, std::vector<uint8_t>& into);

  SocketAddress server_;
  std::function<bool()> abandon_;
  // The UDP socket, or the TCP one while a truncated reply is asked again; a new UDP socket
  // (on a new port) is opened for the next query after that.
  Connection socket_;
  bool udpOpen_ = false;
};

// Whether `reply` answers `query`: the response bit, the query's ID, and its one question
// (name, type and class) asked back, letter case aside. A forged answer must guess the ID as
// well as the port, and an answer to some other question is not taken for this one.
bool AnswersQuery(const std::vector<uint8_t>& query, const std::vector<uint8_t>& reply);

// Whether the reply's truncation bit (TC) is set: its answers did not all fit in the datagram.
bool IsTruncated(const std::vector<uint8_t>& reply);

// The query as TCP carries it: its length in two bytes, then the query.
std::vector<uint8_t> FrameForTcp(const std::vector<uint8_t>& query);

}  // namespace vellomar
