#include "support/tls_smtp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "common/base64.h"
#include "support/loopback.h"

namespace vellomar::test {

namespace {

// Every wait of a conversation is bounded, so that no thread of the peer outlives a test.
constexpr int kReceiveLimitSeconds = 10;

std::string Verb(const std::string& line) {
  std::string verb = line.substr(0, line.find_first_of(" \r\n"));
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return verb;
}

std::string Argument(const std::string& line, size_t word) {
  size_t start = 0;
  for (size_t i = 0; i < word; ++i) {
    start = line.find(' ', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return line.substr(start, line.find_first_of(" \r\n", start) - start);
}

}  // namespace

// One connection: the socket, and the TLS session once there is one.
struct TlsSmtpPeer::Channel {
  Channel(int fd_, size_t index_) : fd(fd_), index(index_) {}
  int fd;
  size_t index;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  std::string pending;
  int messages = 0;

  ~Channel() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
  }
  bool ReadLine(std::string& line) {
    for (;;) {
      size_t feed = pending.find('\n');
      if (feed != std::string::npos) {
        line = pending.substr(0, feed + 1);
        pending.erase(0, feed + 1);
        return true;
      }
      char buffer[4096];
      int got = ssl != nullptr ? SSL_read(ssl, buffer, sizeof buffer)
                               : static_cast<int>(::recv(fd, buffer, sizeof buffer, 0));
      if (got <= 0) return false;
      pending.append(buffer, static_cast<size_t>(got));
    }
  }
  void Write(const std::string& text) {
    if (ssl != nullptr) {
      SSL_write(ssl, text.data(), static_cast<int>(text.size()));
    } else {
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
  }
};

TlsSmtpPeer::TlsSmtpPeer(Options options) : options_(std::move(options)), listener_(ListenLoopback(64, port_)) {
  int buffer = 64 * 1024;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  thread_ = std::thread([this] { Serve(); });
}

TlsSmtpPeer::~TlsSmtpPeer() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  thread_.join();
  for (std::thread& conversation : conversations_) conversation.join();
}

std::string TlsSmtpPeer::server(const std::string& host) const { return host + ":" + std::to_string(port_); }

std::vector<std::vector<TlsSmtpPeer::Line>> TlsSmtpPeer::Transcripts() {
  std::lock_guard<std::mutex> guard(lock_);
  return transcripts_;
}

size_t TlsSmtpPeer::PeakConnections() {
  std::lock_guard<std::mutex> guard(lock_);
  return peak_;
}

bool TlsSmtpPeer::WaitForHandshake(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, wait, [this] { return handshakeBegun_; });
}

bool TlsSmtpPeer::WaitForEnded(size_t count, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, wait, [this, count] { return ended_ >= count; });
}

void TlsSmtpPeer::Serve() {
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
    }
    if (!WaitReadable(listener_.get(), 20)) continue;
    FileDescriptor connection(::accept(listener_.get(), nullptr, nullptr));
    if (!connection.valid()) continue;
    int one = 1;
    ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval limit{kReceiveLimitSeconds, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::lock_guard<std::mutex> guard(lock_);
    open_.push_back(connection.get());
    peak_ = std::max(peak_, open_.size());
    transcripts_.emplace_back();
    auto shared = std::make_shared<FileDescriptor>(std::move(connection));
    size_t index = transcripts_.size() - 1;
    conversations_.emplace_back([this, index, shared] { Converse(index, std::move(*shared)); });
  }
}

void TlsSmtpPeer::Record(Channel& channel, const std::string& line) {
  std::lock_guard<std::mutex> guard(lock_);
  transcripts_[channel.index].push_back({line, channel.ssl != nullptr});
}

bool TlsSmtpPeer::Handshake(Channel& channel) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    handshakeBegun_ = true;
  }
  changed_.notify_all();
  char hello[64];
  if (options_.handshake != Options::Handshake::Complete) {
    // A stalled server waits for the client to give up; a dropping one leaves after its hello.
    bool stall = options_.handshake == Options::Handshake::Stall;
    while (::recv(channel.fd, hello, sizeof hello, 0) > 0 && stall) {
    }
    return false;
  }
  channel.context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_chain_file(channel.context, options_.certificate.certificate.c_str());
  SSL_CTX_use_PrivateKey_file(channel.context, options_.certificate.key.c_str(), SSL_FILETYPE_PEM);
  channel.ssl = SSL_new(channel.context);
  SSL_set_fd(channel.ssl, channel.fd);
  if (SSL_accept(channel.ssl) == 1) return true;
  ERR_clear_error();
  return false;
}

std::string TlsSmtpPeer::EhloReply(bool encrypted) const {
  if (!options_.ehloReply.empty()) return options_.ehloReply;
  std::string reply = "250-localhost greets you\r\n";
  if (options_.tls == Options::Tls::StartTls && !encrypted) reply += "250-STARTTLS\r\n";
  if (!options_.mechanisms.empty()) reply += "250-AUTH " + options_.mechanisms + "\r\n";
  return reply + "250 8BITMIME\r\n";
}

// The three mechanisms; the exchange's own lines are recorded like any other.
bool TlsSmtpPeer::Authenticate(Channel& channel, const std::string& line) {
  std::string mechanism = Verb(Argument(line, 1));
  std::string expected;
  std::string got;
  if (mechanism == "LOGIN") {
    std::string user, password;
    channel.Write("334 VXNlcm5hbWU6\r\n");
    if (!channel.ReadLine(user)) return false;
    Record(channel, user);
    channel.Write("334 UGFzc3dvcmQ6\r\n");
    if (!channel.ReadLine(password)) return false;
    Record(channel, password);
    bool right = Base64Decode(Argument(user, 0)) == options_.user && Base64Decode(Argument(password, 0)) == options_.secret;
    channel.Write(right ? "235 2.7.0 Authentication successful\r\n" : "535 5.7.8 Authentication credentials invalid\r\n");
    return true;
  }
  got = Base64Decode(Argument(line, 2)).value_or("?");
  if (mechanism == "PLAIN") expected = std::string(1, '\0') + options_.user + std::string(1, '\0') + options_.secret;
  if (mechanism == "XOAUTH2") expected = "user=" + options_.user + "\x01" "auth=Bearer " + options_.secret + "\x01\x01";
  if (!expected.empty() && got == expected) {
    channel.Write("235 2.7.0 Authentication successful\r\n");
    return true;
  }
  if (mechanism == "XOAUTH2") {
    std::string empty;
    channel.Write("334 eyJzdGF0dXMiOiI0MDEifQ==\r\n");
    if (!channel.ReadLine(empty)) return false;
    Record(channel, empty);
  }
  channel.Write("535 5.7.8 Authentication credentials invalid\r\n");
  return true;
}

// Answers one command; false when the conversation is over.
bool TlsSmtpPeer::Answer(Channel& channel, const std::string& line) {
  std::string verb = Verb(line);
  std::string reply = "250 2.0.0 Ok\r\n";
  if (verb == "EHLO") reply = EhloReply(channel.ssl != nullptr);
  if (verb == "STARTTLS") {
    channel.Write(options_.startTlsReply);
    return options_.startTlsReply[0] != '2' || Handshake(channel);
  }
  if (verb == "MAIL" && channel.index == 0 && options_.closeAfterMessages > 0 &&
      channel.messages >= options_.closeAfterMessages) {
    return false;
  }
  if (verb == "MAIL" && channel.ssl == nullptr && !options_.mailReplyInTheClear.empty()) {
    reply = options_.mailReplyInTheClear;
  }
  if (verb == "AUTH") {
    if (options_.authReply.empty()) return Authenticate(channel, line);
    reply = options_.authReply;
  }
  if (verb == "DATA") {
    channel.Write("354 End data with <CR><LF>.<CR><LF>\r\n");
    if (options_.stallInData.count() > 0) {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait_for(guard, options_.stallInData, [this] { return stopping_; });
    }
    std::string data;
    do {
      if (!channel.ReadLine(data)) return false;
      Record(channel, data);
    } while (data != ".\r\n");
    ++channel.messages;
  }
  if (verb == "QUIT") {
    channel.Write("221 2.0.0 Bye\r\n");
    return false;
  }
  if (!options_.splitReplies) {
    channel.Write(reply);
    return true;
  }
  size_t half = reply.size() / 2;
  channel.Write(reply.substr(0, half));
  channel.Write(reply.substr(half));
  return true;
}

void TlsSmtpPeer::Converse(size_t index, FileDescriptor connection) {
  Channel channel(connection.get(), index);
  bool open = options_.tls != Options::Tls::Implicit || Handshake(channel);
  if (open) channel.Write("220 localhost ESMTP test relay\r\n");
  std::string line;
  while (open && channel.ReadLine(line)) {
    Record(channel, line);
    open = Answer(channel, line);
  }
  if (channel.ssl != nullptr) SSL_shutdown(channel.ssl);
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase(open_, connection.get());
    ++ended_;
  }
  changed_.notify_all();
}

}  // namespace vellomar::test
