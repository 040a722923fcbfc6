#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_descriptor.h"
#include "support/test_certificates.h"

namespace vellomar::test {

// A next relay of our own for the client's TLS and login tests, on 127.0.0.1: speaks ESMTP,
// offers STARTTLS or TLS from the first byte with the given certificate, advertises the
// given AUTH mechanisms and checks the credentials it gets. Every line it receives is
// recorded with whether it came encrypted. Each connection is served on a thread of its own.
class TlsSmtpPeer {
 public:
  struct Options {
    enum class Tls { Plain, StartTls, Implicit };
    Tls tls = Tls::StartTls;
    CertificateFiles certificate;
    // Advertised after "AUTH "; empty: no AUTH line.
    std::string mechanisms = "PLAIN LOGIN";
    std::string user = "alice";
    // The password, or for XOAUTH2 the access token.
    std::string secret = "s3cret";
    // When set, the reply to EHLO, STARTTLS or every AUTH instead of the usual one.
    std::string ehloReply;
    std::string startTlsReply = "220 2.0.0 Ready to start TLS\r\n";
    std::string authReply;
    // When set, the reply to MAIL on a connection without TLS (a server that wants TLS).
    std::string mailReplyInTheClear;
    // How the server side of a handshake goes: completed, dropped after the client's first
    // bytes, or stalled (the server reads nothing until the client goes away).
    enum class Handshake { Complete, Drop, Stall };
    Handshake handshake = Handshake::Complete;
    // Each reply goes out in two TLS records (or two sends), split in the middle of a line.
    bool splitReplies = false;
    // After its 354 the server reads nothing for this long, as a relay that stops taking the
    // data. Its receive buffer is small, so the client's sends soon wait.
    std::chrono::milliseconds stallInData{0};
    // On its first connection, the server goes away without a word at the MAIL that follows
    // this many messages (0: never), as a relay that closed a session it kept idle.
    int closeAfterMessages = 0;
  };
  struct Line {
    std::string text;
    bool encrypted;
  };

  explicit TlsSmtpPeer(Options options);
  ~TlsSmtpPeer();

  // "host:port", as the server settings take it.
  std::string server(const std::string& host = "localhost") const;
  std::vector<std::vector<Line>> Transcripts();
  // True once a client has begun a handshake within the time.
  bool WaitForHandshake(std::chrono::milliseconds wait);
  // True once `count` conversations are over within the time.
  bool WaitForEnded(size_t count, std::chrono::milliseconds wait);
  // The most connections that were open at once.
  size_t PeakConnections();

 private:
  struct Channel;
  void Serve();
  void Converse(size_t index, FileDescriptor connection);
  bool Handshake(Channel& channel);
  bool Answer(Channel& channel, const std::string& line);
  bool Authenticate(Channel& channel, const std::string& line);
  void Record(Channel& channel, const std::string& line);
  std::string EhloReply(bool encrypted) const;

  Options options_;
  // Set by the listener's creation, so declared before it.
  int port_ = 0;
  FileDescriptor listener_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool handshakeBegun_ = false;
  size_t ended_ = 0;
  std::vector<int> open_;
  size_t peak_ = 0;
  std::vector<std::vector<Line>> transcripts_;
  std::vector<std::thread> conversations_;
  std::thread thread_;
};

}  // namespace vellomar::test
