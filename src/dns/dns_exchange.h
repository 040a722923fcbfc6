#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/connection.h"

namespace vellomar {

// One query and its reply over UDP: the server's address, a socket of its own (watched by
// the calling thread's cancel hook, closed when the exchange ends), and a bounded wait that
// takes only the server's answer to this query.
class DnsExchange {
 public:
  // Resolves the server text ("host" or "host:port", port 53 by default) and opens the socket.
  // `abandon` ends the server's name lookup when it turns true.
  bool Open(const std::string& server, const std::function<bool()>& abandon);
  // Sends the query and waits for the reply, resending once when the first wait runs out.
  // Datagrams from elsewhere, or that do not answer this query, are ignored.
  bool Ask(const std::vector<uint8_t>& query, std::chrono::milliseconds wait, std::vector<uint8_t>& reply);

 private:
  bool AwaitReply(const std::vector<uint8_t>& query, std::chrono::steady_clock::time_point deadline,
                  std::vector<uint8_t>& reply);

  sockaddr_in server_{};
  Connection socket_;
};

// Whether `reply` answers `query`: the response bit, the query's ID, and its one question
// (name, type and class) asked back, letter case aside. A forged answer must guess the ID as
// well as the port, and an answer to some other question is not taken for this one.
bool AnswersQuery(const std::vector<uint8_t>& query, const std::vector<uint8_t>& reply);

}  // namespace vellomar
