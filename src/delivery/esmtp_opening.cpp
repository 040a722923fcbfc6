#include "delivery/esmtp_opening.h"

#include <optional>
#include <sstream>
#include <vector>

#include "common/base64.h"
#include "common/system_error.h"
#include "common/text.h"
#include "platform/command_output.h"
#include "platform/stop_flag.h"
#include "sign_in/oauth_tokens.h"

namespace vellomar {

namespace {

using Kind = OpeningResult::Kind;
using Tls = NextRelaySecurity::Tls;

struct Session {
  Connection& connection;
  ReplyReader& replies;
  const NextRelaySecurity& security;
  const std::string& server;
  std::chrono::milliseconds wait;
  const StopFlag& stop;
};

// What the server said it can do in its reply to EHLO.
struct Extensions {
  bool startTls = false;
  bool size = false;
  bool eightBitMime = false;
  std::vector<std::string> mechanisms;
};

OpeningResult Result(Kind kind, std::string text = {}, std::string sent = {}) {
  return OpeningResult{kind, std::move(text), std::move(sent)};
}

std::string FirstLine(const std::string& reply) { return reply.substr(0, reply.find_first_of("\r\n")); }

bool Ask(Session& s, const std::string& command, std::string& reply) {
  return s.connection.Send(command, s.wait) && s.replies.Read(s.connection, s.wait, reply);
}

// The keywords after "250-" or "250 " on each line; "AUTH=" is the older spelling of "AUTH ".
Extensions ParseExtensions(const std::string& reply) {
  Extensions found;
  std::istringstream lines(reply);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 4) continue;
    std::string text = FirstLine(line.substr(4));
    if (StartsWithIgnoreCase(text, "AUTH=")) text[4] = ' ';
    std::istringstream words(text);
    std::string keyword;
    words >> keyword;
    if (EqualsIgnoreCase(keyword, "STARTTLS")) found.startTls = true;
    if (EqualsIgnoreCase(keyword, "SIZE")) found.size = true;
    if (EqualsIgnoreCase(keyword, "8BITMIME")) found.eightBitMime = true;
    if (!EqualsIgnoreCase(keyword, "AUTH")) continue;
    for (std::string mechanism; words >> mechanism;) found.mechanisms.push_back(mechanism);
  }
  return found;
}

bool Offers(const Extensions& extensions, const std::string& mechanism) {
  for (const std::string& offered : extensions.mechanisms) {
    if (EqualsIgnoreCase(offered, mechanism)) return true;
  }
  return false;
}

// EHLO and its reply; nothing when the session may go on.
std::optional<OpeningResult> Ehlo(Session& s, const std::string& domain, bool mayFallBack, Extensions& extensions) {
  const std::string command = "EHLO " + domain + "\r\n";
  std::string reply;
  if (!Ask(s, command, reply)) return Result(Kind::NoReply);
  if (reply[0] == '2') {
    extensions = ParseExtensions(reply);
    return std::nullopt;
  }
  if (reply[0] == '4') return Result(Kind::Reply, reply, command);
  if (mayFallBack && reply[0] == '5') return Result(Kind::UseHelo);
  return Result(Kind::Fault, "Error : EHLO refused by " + s.server + ": " + ReplyText(reply));
}

// STARTTLS and the handshake. Under May a refusal leaves the session in the clear.
std::optional<OpeningResult> StartTls(Session& s) {
  const std::string command = "STARTTLS\r\n";
  std::string reply;
  if (!Ask(s, command, reply)) return Result(Kind::NoReply);
  if (reply[0] == '4') return Result(Kind::Reply, reply, command);
  if (reply[0] != '2') {
    if (s.security.tls == Tls::May) return std::nullopt;
    return Result(Kind::Fault, "Error : STARTTLS refused by " + s.server + ": " + ReplyText(reply));
  }
  // Bytes that came in the clear after the reply must not pass for part of the TLS session.
  s.replies.Clear();
  TlsOutcome outcome = s.connection.StartTls(s.security.check, s.wait);
  if (!outcome.ok()) {
    // Only a handshake the two sides could not agree on: a silent peer is a lost connection
    // like any other, and a pinned certificate that does not match must not be bypassed.
    bool opportunistic = s.security.tls == Tls::May && s.security.user.empty() &&
                         outcome.kind == TlsOutcome::Kind::Handshake &&
                         s.security.check.mode != TlsPeerCheck::Mode::Fingerprint;
    return Result(opportunistic ? Kind::ClearOnly : Kind::Fault, TlsFaultLine(outcome, s.server));
  }
  return std::nullopt;
}

// The password, or the first line of the password command's output.
std::optional<std::string> Secret(Session& s, std::string& problem) {
  if (s.security.passwordCommand.empty()) return s.security.password;
  auto line = FirstOutputLine(s.security.passwordCommand, s.wait, s.stop);
  if (line) return line.value();
  problem = "Error : password command failed: " + SystemErrorText(line.error());
  return std::nullopt;
}

std::string ChooseMechanism(Session& s, const Extensions& extensions) {
  const std::string wanted = s.security.tokens ? "XOAUTH2" : s.security.mechanism;
  if (!wanted.empty()) return Offers(extensions, wanted) ? wanted : "";
  for (const char* mechanism : {"PLAIN", "LOGIN"}) {
    if (Offers(extensions, mechanism)) return mechanism;
  }
  return "";
}

// The reply that ends a login: 2xx logs in, 4xx is judged like any other, the rest refuses.
OpeningResult LoginEnded(Session& s, const std::string& reply) {
  if (reply[0] == '2') return Result(Kind::Ready);
  if (reply[0] == '4') return Result(Kind::Reply, reply, "AUTH\r\n");
  OpeningResult refused = Result(Kind::Fault, "Error : authentication refused by " + s.server + ": " + ReplyText(reply));
  refused.loginRefused = true;
  return refused;
}

// One XOAUTH2 login with `token`: false when the connection was lost, else `reply` is the
// server's last reply and `refused` tells whether it refused the token itself (a 535, or a
// challenge holding the error), after which another token may be tried on the same session.
bool AskXoauth2(Session& s, const std::string& token, std::string& reply, bool& refused) {
  std::string response = "user=" + s.security.user + "\x01" "auth=Bearer " + token + "\x01\x01";
  if (!Ask(s, "AUTH XOAUTH2 " + Base64Encode(response) + "\r\n", reply)) return false;
  // A refused token comes back as a challenge holding the error; an empty line ends it.
  bool challenged = reply.rfind("334", 0) == 0;
  if (challenged && !Ask(s, "\r\n", reply)) return false;
  refused = reply[0] == '5' && (challenged || reply.rfind("535", 0) == 0);
  return true;
}

OpeningResult Exchange(Session& s, const std::string& mechanism, const std::string& secret) {
  const std::string& user = s.security.user;
  std::string reply;
  if (EqualsIgnoreCase(mechanism, "LOGIN")) {
    for (const std::string& step : {std::string("AUTH LOGIN\r\n"), Base64Encode(user) + "\r\n"}) {
      if (!Ask(s, step, reply)) return Result(Kind::NoReply);
      if (reply.rfind("334", 0) != 0) return LoginEnded(s, reply);
    }
    if (!Ask(s, Base64Encode(secret) + "\r\n", reply)) return Result(Kind::NoReply);
    return LoginEnded(s, reply);
  }
  if (EqualsIgnoreCase(mechanism, "XOAUTH2")) {
    bool refused = false;
    return AskXoauth2(s, secret, reply, refused) ? LoginEnded(s, reply) : Result(Kind::NoReply);
  }
  std::string response = std::string(1, '\0') + user + std::string(1, '\0') + secret;
  if (!Ask(s, "AUTH PLAIN " + Base64Encode(response) + "\r\n", reply)) return Result(Kind::NoReply);
  return LoginEnded(s, reply);
}

// XOAUTH2 with the sign-in's tokens. A token the server refuses is reported, and a fresh one
// tried once more on the same session: servers take a new AUTH after a failed one (RFC 4954),
// and a new connection would cost a second handshake for nothing.
OpeningResult TokenLogin(Session& s, OAuthTokens& tokens) {
  for (int attempt = 0;; ++attempt) {
    OAuthTokens::Token token = tokens.Get();
    switch (token.kind) {
      case OAuthTokens::Token::Kind::Ready:
        break;
      case OAuthTokens::Token::Kind::SignInNeeded:
        return Result(Kind::Waiting, token.reason);
      case OAuthTokens::Token::Kind::Unavailable:
        return Result(Kind::Fault, token.reason);
      case OAuthTokens::Token::Kind::Cancelled:
        return Result(Kind::NoReply);
    }
    std::string reply;
    bool refused = false;
    if (!AskXoauth2(s, token.accessToken, reply, refused)) return Result(Kind::NoReply);
    if (!refused || attempt > 0 || !tokens.Refused(token.accessToken)) return LoginEnded(s, reply);
  }
}

OpeningResult Login(Session& s, const Extensions& extensions) {
  std::string mechanism = ChooseMechanism(s, extensions);
  if (mechanism.empty()) {
    return Result(Kind::Fault, "Error : no usable authentication mechanism offered by " + s.server);
  }
  if (s.security.tokens) return TokenLogin(s, *s.security.tokens);
  std::string problem;
  std::optional<std::string> secret = Secret(s, problem);
  if (!secret) return Result(Kind::Fault, problem);
  return Exchange(s, mechanism, *secret);
}

}  // namespace

std::string TlsFaultLine(const TlsOutcome& outcome, const std::string& server) {
  if (outcome.kind == TlsOutcome::Kind::Certificate) {
    return "Error : certificate of " + server + " not trusted: " + outcome.reason;
  }
  return "Error : TLS handshake with " + server + " failed: " + outcome.reason;
}

std::string HeloDomain(const std::string& heloLine) {
  std::string domain = FirstLine(heloLine.size() > 5 ? heloLine.substr(5) : "");
  while (!domain.empty() && domain.back() == ' ') domain.pop_back();
  return domain.empty() ? "localhost" : domain;
}

OpeningResult OpenSession(Connection& connection, ReplyReader& replies, const std::string& heloDomain,
                          const NextRelaySecurity& security, const std::string& server,
                          std::chrono::milliseconds wait, const StopFlag& stop) {
  Session s{connection, replies, security, server, wait, stop};
  Extensions extensions;
  bool mayFallBack = !security.RequiresTls() && security.user.empty();
  if (auto stop = Ehlo(s, heloDomain, mayFallBack, extensions)) return *stop;
  bool wantsStartTls = security.tls == Tls::StartTls || (security.tls == Tls::May && extensions.startTls);
  if (wantsStartTls && !connection.IsEncrypted()) {
    if (!extensions.startTls) return Result(Kind::Fault, "Error : TLS required but not offered by " + server);
    if (auto stop = StartTls(s)) return *stop;
    if (connection.IsEncrypted()) {
      if (auto stop = Ehlo(s, heloDomain, false, extensions)) return *stop;
    }
  }
  OpeningResult result;
  if (security.user.empty()) {
    result = Result(Kind::Ready);
  } else if (!connection.IsEncrypted() && security.tls != Tls::None) {
    return Result(Kind::Fault, "Error : TLS required but not offered by " + server);
  } else {
    result = Login(s, extensions);
  }
  result.offersSize = extensions.size;
  result.offers8BitMime = extensions.eightBitMime;
  return result;
}

}  // namespace vellomar
