#include "platform/tls_stream.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>

#include "platform/socket.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

std::string LastLibraryError(const char* fallback) {
  unsigned long code = ERR_get_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for what the library asked for; false when the time ran out or the wait failed.
bool WaitAsAsked(int fd, int error, Clock::time_point deadline) {
  int left = MillisecondsLeft(deadline);
  if (left == 0) return false;
  auto ready = error == SSL_ERROR_WANT_WRITE ? WaitWritable(fd, left) : WaitReadable(fd, left);
  return ready && ready.value();
}

std::string HexDigest(const unsigned char* digest, unsigned int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

// The socket under the session. The library's own socket type writes with write(), which
// raises SIGPIPE on a connection the peer closed; this one sends with MSG_NOSIGNAL.
int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t sent = ::send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t got = ::recv(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(size), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

// The library's socket type with the two calls above in place of its own.
const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket");
    const BIO_METHOD* base = BIO_s_socket();
    BIO_meth_set_write(made, SocketWrite);
    BIO_meth_set_read(made, SocketRead);
    BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(base));
    BIO_meth_set_create(made, BIO_meth_get_create(base));
    BIO_meth_set_destroy(made, BIO_meth_get_destroy(base));
    return made;
  }();
  return method;
}

}  // namespace

struct TlsStream::Session {
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  // A send failed: the library would finish its half-written record before any alert.
  bool sendFailed = false;
  ~Session() {
    if (ssl != nullptr) {
      // A close_notify when the socket takes it at once; the reply is not waited for.
      if (SSL_is_init_finished(ssl) && !sendFailed) (void)SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    if (context != nullptr) SSL_CTX_free(context);
  }
};

namespace {

TlsOutcome Fail(TlsOutcome::Kind kind, std::string reason) { return TlsOutcome{kind, std::move(reason)}; }

TlsOutcome CheckFingerprint(SSL* ssl, const std::string& wanted) {
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) return Fail(TlsOutcome::Kind::Certificate, "no certificate");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  bool digested = X509_digest(certificate, EVP_sha256(), digest, &length) == 1;
  X509_free(certificate);
  if (!digested) return Fail(TlsOutcome::Kind::Certificate, LastLibraryError("no digest"));
  if (HexDigest(digest, length) != NormalizeFingerprint(wanted)) {
    return Fail(TlsOutcome::Kind::Certificate, "fingerprint mismatch");
  }
  return {};
}

// Why the handshake ended without a stream: the certificate's check when that is what failed.
TlsOutcome HandshakeFailure(SSL* ssl, int error, TlsPeerCheck::Mode mode) {
  // Without the chain check the library still records its verdict on the certificate; that
  // verdict is not why such a handshake ended.
  long verified = mode == TlsPeerCheck::Mode::Chain ? SSL_get_verify_result(ssl) : X509_V_OK;
  if (verified != X509_V_OK) {
    ERR_clear_error();
    return Fail(TlsOutcome::Kind::Certificate, X509_verify_cert_error_string(verified));
  }
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
    std::string reason = LastLibraryError("connection closed during the handshake");
    return Fail(TlsOutcome::Kind::Handshake, reason);
  }
  return Fail(TlsOutcome::Kind::Handshake, LastLibraryError("handshake failed"));
}

// The connection object of the session's context, reading and writing the session's socket.
TlsOutcome AttachSocket(TlsStream::Session& s) {
  s.ssl = SSL_new(s.context);
  BIO* socket = BIO_new(SocketMethod());
  if (s.ssl == nullptr || socket == nullptr) {
    BIO_free(socket);
    return Fail(TlsOutcome::Kind::Handshake, LastLibraryError("no TLS session"));
  }
  BIO_set_fd(socket, s.fd, BIO_NOCLOSE);
  SSL_set_bio(s.ssl, socket, socket);
  return {};
}

// The handshake's steps (`step` is SSL_connect or SSL_accept) until it is done, failed, or
// out of time.
TlsOutcome Handshake(TlsStream::Session& s, int (*step)(SSL*), TlsPeerCheck::Mode mode, Clock::time_point deadline) {
  for (;;) {
    int done = step(s.ssl);
    if (done == 1) return {};
    int error = SSL_get_error(s.ssl, done);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return HandshakeFailure(s.ssl, error, mode);
    if (!WaitAsAsked(s.fd, error, deadline)) return Fail(TlsOutcome::Kind::Network, "no answer in time");
  }
}

// The context and connection objects for one handshake, set up as `check` asks.
TlsOutcome Prepare(TlsStream::Session& s, const TlsPeerCheck& check) {
  s.context = SSL_CTX_new(TLS_client_method());
  if (s.context == nullptr) return Fail(TlsOutcome::Kind::Handshake, LastLibraryError("no TLS context"));
  SSL_CTX_set_min_proto_version(s.context, TLS1_2_VERSION);
  if (check.mode == TlsPeerCheck::Mode::Chain) {
    // The system trust store (SSL_CERT_FILE and SSL_CERT_DIR name another one).
    if (SSL_CTX_set_default_verify_paths(s.context) != 1) {
      return Fail(TlsOutcome::Kind::Certificate, LastLibraryError("no trust store"));
    }
    SSL_CTX_set_verify(s.context, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(s.context, SSL_VERIFY_NONE, nullptr);
  }
  TlsOutcome attached = AttachSocket(s);
  if (!attached.ok()) return attached;
  bool literal = IsAddressLiteral(check.host);
  if (!check.host.empty() && !literal) SSL_set_tlsext_host_name(s.ssl, check.host.c_str());
  if (check.mode == TlsPeerCheck::Mode::Chain) {
    int named = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), check.host.c_str())
                        : SSL_set1_host(s.ssl, check.host.c_str());
    if (named != 1) return Fail(TlsOutcome::Kind::Certificate, "no name to check");
  }
  return {};
}

}  // namespace

struct TlsServerContext::Library {
  SSL_CTX* context = nullptr;
  ~Library() {
    if (context != nullptr) SSL_CTX_free(context);
  }
};

namespace {

// A session on `fd`, which from now on is read and written without blocking; the library's
// error queue is emptied, so that a failure reads its own reason.
TlsOutcome Begin(int fd, std::unique_ptr<TlsStream::Session>& session) {
  ERR_clear_error();
  session = std::make_unique<TlsStream::Session>();
  session->fd = fd;
  if (!SetNonBlocking(fd, true)) return Fail(TlsOutcome::Kind::Network, "socket not usable");
  return {};
}

}  // namespace

TlsStream::TlsStream(std::unique_ptr<Session> session) : session_(std::move(session)) {}

TlsStream::~TlsStream() = default;

TlsOutcome TlsStream::Connect(int fd, const TlsPeerCheck& check, std::chrono::milliseconds wait,
                              std::unique_ptr<TlsStream>& stream) {
  auto deadline = Clock::now() + wait;
  std::unique_ptr<Session> session;
  if (TlsOutcome begun = Begin(fd, session); !begun.ok()) return begun;
  TlsOutcome prepared = Prepare(*session, check);
  if (!prepared.ok()) return prepared;
  TlsOutcome shaken = Handshake(*session, SSL_connect, check.mode, deadline);
  if (!shaken.ok()) return shaken;
  if (check.mode == TlsPeerCheck::Mode::Fingerprint) {
    TlsOutcome matched = CheckFingerprint(session->ssl, check.fingerprint);
    if (!matched.ok()) return matched;
  }
  stream.reset(new TlsStream(std::move(session)));
  return {};
}

TlsOutcome TlsStream::Accept(int fd, const TlsServerContext& context, std::chrono::milliseconds wait,
                             std::unique_ptr<TlsStream>& stream) {
  auto deadline = Clock::now() + wait;
  std::unique_ptr<Session> session;
  if (TlsOutcome begun = Begin(fd, session); !begun.ok()) return begun;
  // The session holds a reference of its own, so that it frees the context as a client's does.
  SSL_CTX* shared = context.library().context;
  SSL_CTX_up_ref(shared);
  session->context = shared;
  TlsOutcome attached = AttachSocket(*session);
  if (!attached.ok()) return attached;
  TlsOutcome shaken = Handshake(*session, SSL_accept, TlsPeerCheck::Mode::None, deadline);
  if (!shaken.ok()) return shaken;
  stream.reset(new TlsStream(std::move(session)));
  return {};
}

std::string TlsStream::Version() const { return SSL_get_version(session_->ssl); }

ErrorOr<size_t> TlsStream::Receive(char* buffer, size_t size, std::chrono::milliseconds wait) {
  ERR_clear_error();
  auto deadline = Clock::now() + wait;
  for (;;) {
    size_t got = 0;
    int done = SSL_read_ex(session_->ssl, buffer, size, &got);
    if (done == 1) return got;
    int error = SSL_get_error(session_->ssl, done);
    if (error == SSL_ERROR_ZERO_RETURN) return size_t{0};
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return ErrorOr<size_t>::Fail(EIO);
    }
    if (!WaitAsAsked(session_->fd, error, deadline)) return ErrorOr<size_t>::Fail(ETIMEDOUT);
  }
}

Status TlsStream::Send(std::string_view data, std::chrono::milliseconds wait) {
  ERR_clear_error();
  if (session_->sendFailed) return FailWith(EIO);
  auto deadline = Clock::now() + wait;
  int failure = 0;
  while (!data.empty() && failure == 0) {
    size_t put = 0;
    int done = SSL_write_ex(session_->ssl, data.data(), data.size(), &put);
    if (done == 1) {
      data.remove_prefix(put);
      continue;
    }
    int error = SSL_get_error(session_->ssl, done);
    // A retried write repeats the same bytes, as the library requires.
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      failure = EIO;
    } else if (!WaitAsAsked(session_->fd, error, deadline)) {
      failure = ETIMEDOUT;
    }
  }
  ERR_clear_error();
  session_->sendFailed = failure != 0;
  return failure == 0 ? Ok() : FailWith(failure);
}

namespace {

// ECDHE with AES-GCM or ChaCha20-Poly1305, as current clients and checkers expect.
constexpr const char* kModernCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
// What the library's DEFAULT stands for, which it takes only at the start of a list.
constexpr const char* kLibraryDefault = "ALL:!COMPLEMENTOFDEFAULT:!eNULL";

}  // namespace

TlsServerContext::TlsServerContext(std::unique_ptr<Library> library) : library_(std::move(library)) {}

TlsServerContext::~TlsServerContext() = default;

std::shared_ptr<const TlsServerContext> TlsServerContext::Load(const std::string& certificateFile,
                                                               const std::string& keyFile, TlsVersion oldest,
                                                               std::string& problem) {
  static constexpr int kVersions[] = {TLS1_VERSION, TLS1_1_VERSION, TLS1_2_VERSION, TLS1_3_VERSION};
  ERR_clear_error();
  auto library = std::make_unique<Library>();
  SSL_CTX* context = library->context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    problem = LastLibraryError("no TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, kVersions[static_cast<int>(oldest)]);
  if (oldest < TlsVersion::V1_2) SSL_CTX_set_security_level(context, 0);
  // Up to TLS 1.2 only forward-secret AEAD suites (TLS 1.3 has nothing else); the library's
  // others (CBC, static RSA) after them only for the old devices a lowered version lets in.
  const std::string ciphers = oldest < TlsVersion::V1_2 ? std::string(kModernCiphers) + ":" + kLibraryDefault : kModernCiphers;
  if (SSL_CTX_set_cipher_list(context, ciphers.c_str()) != 1) {
    problem = LastLibraryError("no cipher suites");
    return nullptr;
  }
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
    problem = certificateFile + ": " + LastLibraryError("no certificate");
  } else if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    problem = keyFile + ": " + LastLibraryError("no private key");
  } else if (SSL_CTX_check_private_key(context) != 1) {
    problem = keyFile + ": " + LastLibraryError("the key does not match the certificate");
  } else {
    return std::shared_ptr<const TlsServerContext>(new TlsServerContext(std::move(library)));
  }
  return nullptr;
}

std::string TlsLibraryVersion() { return OpenSSL_version(OPENSSL_VERSION); }

std::string NormalizeFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex.size() == 64 ? hex : "";
}

}  // namespace vellomar
