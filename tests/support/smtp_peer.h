#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_descriptor.h"

namespace vellomar::test {

// A next SMTP server for the client's tests, on 127.0.0.1: serves every connection on a
// thread of its own, records every line it receives, and answers each command as the script
// says. Connections are numbered in the order they were accepted.
// Message data (after a 354 reply) is recorded up to the "." line, which is then answered.
class SmtpPeer {
 public:
  // The reply to one command line ("HELO a\r\n"), given the connection's index. An empty
  // reply sends nothing (the peer stays silent until the client gives up); kClose closes.
  using Script = std::function<std::string(int connection, const std::string& line)>;
  static constexpr const char* kClose = "<close>";
  // A reply containing kSplit is sent in two sends, split there.
  static constexpr const char* kSplit = "<split>";
  // A reply ending in kStall is sent, then the peer reads nothing for kStallTime: a next relay
  // that stops taking the data. Its receive buffer is small, so the client's sends soon wait.
  static constexpr const char* kStall = "<stall>";
  static constexpr std::chrono::milliseconds kStallTime{2500};

  explicit SmtpPeer(Script script, std::string greeting = "220 peer ready\r\n");
  // Listening on `host` ("::1", "127.0.0.3") at `port`, or at a port the system chose.
  SmtpPeer(Script script, std::string greeting, const std::string& host, int port = 0);
  ~SmtpPeer();

  int port() const { return port_; }
  // "127.0.0.1:port" ("[::1]:port"), as the server settings take it.
  std::string server() const;
  // The lines each connection received, data lines included.
  std::vector<std::vector<std::string>> Transcripts();
  int Connections();
  // Connections whose conversation is over: the client closed, or the peer did.
  int Ended() const { return ended_.load(); }

  // A script that accepts everything (DATA and QUIT in any letter case).
  static std::string AcceptAll(int, const std::string& line);

 private:
  void Serve();
  void Converse(int index, FileDescriptor connection);

  Script script_;
  std::string greeting_;
  std::string host_ = "127.0.0.1";
  // Set by the listener's creation, so declared before it.
  int port_ = 0;
  FileDescriptor listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> ended_{0};
  std::mutex lock_;
  std::vector<std::vector<std::string>> transcripts_;
  std::vector<std::thread> conversations_;
  std::thread thread_;
};

}  // namespace vellomar::test
