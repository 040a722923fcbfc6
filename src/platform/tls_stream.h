#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error_or.h"

namespace vellomar {

// What a client checks of the server's certificate before it trusts the stream.
struct TlsPeerCheck {
  enum class Mode {
    None,         // encrypt only: any certificate is taken
    Chain,        // the system trust store, and the name `host` in the certificate
    Fingerprint,  // the certificate's SHA-256 equals `fingerprint`; chain and name not checked
  };
  Mode mode = Mode::None;
  // Sent as the server name (unless it is an address) and checked under Chain.
  std::string host;
  // 64 hex digits, colons and letter case free.
  std::string fingerprint;
};

// Why a handshake did not give a trusted stream. Network: the time ran out or the connection
// was lost (a cancel included); Handshake: the peers could not agree; Certificate: the server's
// certificate failed its check.
struct TlsOutcome {
  enum class Kind { Ok, Network, Handshake, Certificate };
  Kind kind = Kind::Ok;
  std::string reason;
  bool ok() const { return kind == Kind::Ok; }
};

// The oldest protocol version a listener takes.
enum class TlsVersion { V1_0, V1_1, V1_2, V1_3 };

// A listener's side of TLS: its certificate (with the chain that follows it in the file), its
// private key and the oldest version it takes, loaded once and shared by every session that
// accepts with it. Under TLS 1.2 the library's security level is lowered to 0, without which
// OpenSSL 3 refuses the older versions (and the SHA-1 they need) whatever the version limit
// says. Immutable once made; any number of threads accept with it at once.
class TlsServerContext {
 public:
  ~TlsServerContext();
  TlsServerContext(const TlsServerContext&) = delete;
  TlsServerContext& operator=(const TlsServerContext&) = delete;

  // Null, with the library's reason in `problem`, when the files cannot be read, do not hold
  // a certificate and its key, or do not match.
  static std::shared_ptr<const TlsServerContext> Load(const std::string& certificateFile, const std::string& keyFile,
                                                      TlsVersion oldest, std::string& problem);

  // The library's object, known only to the implementation.
  struct Library;
  const Library& library() const { return *library_; }

 private:
  explicit TlsServerContext(std::unique_ptr<Library> library);
  std::unique_ptr<Library> library_;
};

// A TLS stream over a connected socket it does not own: the client side toward a next relay
// (1.2 or newer), or the server side of a listener's session. Every wait is
// a poll with a time limit on the socket, so the owner's cancel hook (which shuts the socket
// down) ends any wait at once, as with the plain socket. The socket is non-blocking from the
// handshake on. Used by one thread at a time.
class TlsStream {
 public:
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Runs the client handshake on `fd` within `wait`. The stream is set only on success.
  static TlsOutcome Connect(int fd, const TlsPeerCheck& check, std::chrono::milliseconds wait,
                            std::unique_ptr<TlsStream>& stream);
  // Runs the server handshake on `fd` within `wait` with the listener's context. The stream
  // is set only on success; a failure is Network (time, connection) or Handshake.
  static TlsOutcome Accept(int fd, const TlsServerContext& context, std::chrono::milliseconds wait,
                           std::unique_ptr<TlsStream>& stream);

  // The version agreed on, as the library names it ("TLSv1.3").
  std::string Version() const;

  // At most `size` bytes within `wait`; 0 when the peer ended the stream, ETIMEDOUT when
  // nothing came in time, EIO when the stream broke.
  ErrorOr<size_t> Receive(char* buffer, size_t size, std::chrono::milliseconds wait);
  // All of `data` within `wait`; ETIMEDOUT when the peer did not take it in time, EIO when
  // the stream broke. A send that failed leaves a record half written: the stream sends
  // nothing more, not even its closing alert.
  Status Send(std::string_view data, std::chrono::milliseconds wait);

  // The library's objects, known only to the implementation.
  struct Session;

 private:
  explicit TlsStream(std::unique_ptr<Session> session);
  std::unique_ptr<Session> session_;
};

// "OpenSSL 3.0.x ..." as the linked library names itself.
std::string TlsLibraryVersion();

// The hex digits of a fingerprint text in lower case, colons and blanks dropped; "" when the
// text holds anything else or is not 32 bytes long.
std::string NormalizeFingerprint(const std::string& text);

}  // namespace vellomar
