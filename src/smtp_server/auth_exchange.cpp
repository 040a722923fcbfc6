// AUTH PLAIN and AUTH LOGIN (RFC 4954, RFC 4616), with or without an initial response: the
// credentials are read from the client, checked against the users file and forgotten. Nothing
// of the exchange is stored, and the log names only the user of a login that failed.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "common/base64.h"
#include "common/text.h"
#include "common/user_file.h"
#include "platform/crypto.h"
#include "platform/wake_event.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr std::string_view kNotImplemented = "502 5.5.1 Command not implemented\r\n";
constexpr std::string_view kUserPrompt = "334 VXNlcm5hbWU6\r\n";      // "Username:"
constexpr std::string_view kPasswordPrompt = "334 UGFzc3dvcmQ6\r\n";  // "Password:"
constexpr std::string_view kPlainPrompt = "334 \r\n";
constexpr std::string_view kSucceeded = "235 2.7.0 Authentication successful\r\n";
constexpr std::string_view kCancelled = "501 5.0.0 Authentication cancelled\r\n";
constexpr std::string_view kUndecodable = "501 5.5.2 Cannot decode response\r\n";
constexpr std::string_view kUnknownMechanism = "504 5.5.4 Unrecognized authentication type\r\n";
constexpr std::string_view kInvalid = "535 5.7.8 Authentication credentials invalid\r\n";
constexpr std::string_view kTooManyFailures = "421 4.7.0 Too many failed logins, try again later\r\n";
// Other sessions of the address are checking as many passwords as its limit allows.
constexpr std::string_view kTryLater = "454 4.7.0 Temporary authentication failure, try again later\r\n";
// Each further failure of a session doubles the delay, up to this many doublings.
constexpr int kMostDoublings = 4;

struct Credentials {
  std::string user;
  std::string password;
  // PLAIN names another identity to act for, which is not offered: the login fails.
  bool actsForAnother = false;
  ~Credentials() { Wipe(password); }
};

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// The decoded answer to `challenge`, or the initial response that came with the command.
// Nothing when the exchange ends here, `outcome` then saying how the session goes on.
std::optional<std::string> Respond(Session& session, std::string_view challenge,
                                   std::optional<std::string_view> initial, CommandOutcome& outcome) {
  std::string line;
  std::string_view text;
  if (initial) {
    // "=" is an initial response that is empty (RFC 4954, 4).
    text = *initial == "=" ? std::string_view() : *initial;
  } else {
    if (!SendReply(session, challenge)) {
      outcome = CommandOutcome::Failed;
      return std::nullopt;
    }
    LineRead read = ReadCommand(session, line);
    if (read != LineRead::Line) {
      outcome = read == LineRead::Ended ? CommandOutcome::Failed : Refuse(session, "500 5.5.6 Line too long\r\n");
      return std::nullopt;
    }
    text = WithoutLineEnd(line);
  }
  std::optional<std::string> decoded;
  if (text == "*") {
    outcome = Refuse(session, kCancelled);
  } else if (!(decoded = Base64Decode(std::string(text)))) {
    outcome = Refuse(session, kUndecodable);
  }
  Wipe(line);
  return decoded;
}

// authzid NUL authcid NUL password.
std::optional<Credentials> Plain(Session& session, std::optional<std::string_view> initial, CommandOutcome& outcome) {
  std::optional<std::string> response = Respond(session, kPlainPrompt, initial, outcome);
  if (!response) return std::nullopt;
  size_t first = response->find('\0');
  size_t second = first == std::string::npos ? first : response->find('\0', first + 1);
  std::optional<Credentials> given;
  if (second == std::string::npos) {
    outcome = Refuse(session, kUndecodable);
  } else {
    given.emplace();
    given->user = response->substr(first + 1, second - first - 1);
    given->password = response->substr(second + 1);
    given->actsForAnother = first > 0 && response->substr(0, first) != given->user;
  }
  Wipe(*response);
  return given;
}

std::optional<Credentials> Login(Session& session, std::optional<std::string_view> initial, CommandOutcome& outcome) {
  std::optional<std::string> user = Respond(session, kUserPrompt, initial, outcome);
  if (!user) return std::nullopt;
  std::optional<std::string> password = Respond(session, kPasswordPrompt, std::nullopt, outcome);
  if (!password) return std::nullopt;
  std::optional<Credentials> given(Credentials{*user, *password});
  Wipe(*password);
  return given;
}

// A user name as a log line may show it: control characters as '?', at most 128 bytes.
std::string Printable(std::string name) {
  if (name.size() > 128) name = name.substr(0, 128) + "...";
  std::replace_if(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; },
                  '?');
  return name;
}

// How long this session's next failure would wait for its answer: longer with each failure
// of the session.
std::chrono::milliseconds FailureDelay(const Session& session) {
  return session.relay.timings.login.failureDelay * (1 << std::min(session.loginFailures, kMostDoublings));
}

// Only a stop ends the pause early; the answer then goes out at once.
void PauseBeforeAnswer(Session& session, std::chrono::milliseconds delay) {
  WakeEvent pause(session.relay.stop());
  (void)pause.WaitFor(delay);  // woken by the stop or timed out: either way the answer goes out
}

// The answer to a login that failed comes late, later with each further failure of the
// session; the third ends the session, and the address's tenth within the window bars it.
CommandOutcome LoginFailed(Session& session, const std::string& user, bool barred) {
  session.relay.AppendLog("Authentication failed for " + Printable(user) + " from " + session.clientAddress);
  PauseBeforeAnswer(session, FailureDelay(session));
  ++session.loginFailures;
  CommandOutcome outcome = Refuse(session, kInvalid);
  if (outcome != CommandOutcome::Continue) return outcome;
  if (session.loginFailures < kMaxLoginFailures && !barred) return outcome;
  session.farewell = kTooManyFailures;
  return CommandOutcome::Failed;
}

// The password checked once a place among the relay's checks is free (at most the time a
// command may take to wait for one); nothing when none came free.
std::optional<bool> CheckedWithinLimit(Session& session, const Credentials& given) {
  if (given.actsForAnother || !ValidUserName(given.user)) return false;
  PasswordCheckPlaces& places = session.relay.passwordChecks;
  if (!places.TakeWithin(session.relay.timings.login.checkWait)) return std::nullopt;
  const bool valid = CheckUserPassword(session.relay.FilePath(kUsersFileName), given.user, given.password);
  places.Give();
  return valid;
}

// The password checked within the address's limit: the place is taken before the hash and
// given back with the outcome, whatever other sessions of the address do meanwhile.
CommandOutcome CheckLogin(Session& session, const Credentials& given) {
  LoginFailures& failures = session.relay.loginFailures;
  const LoginLimits& limits = session.relay.timings.login;
  const IpAddress& client = session.policy.client();
  switch (failures.Reserve(client, std::chrono::steady_clock::now(), limits)) {
    case LoginFailures::Check::Barred:
      session.farewell = kTooManyFailures;
      return CommandOutcome::Failed;
    case LoginFailures::Check::Busy:
      return Refuse(session, kTryLater);
    case LoginFailures::Check::Granted:
      break;
  }
  std::optional<bool> checked = CheckedWithinLimit(session, given);
  if (!checked) {
    // No place within the time: the address's place goes back with no failure counted (nor
    // forgiven: a settled success clears nothing).
    (void)failures.Settle(client, false, std::chrono::steady_clock::now(), limits);
    return Refuse(session, kTryLater);
  }
  const bool valid = *checked;
  LoginFailures::Settled settled = failures.Settle(client, !valid, std::chrono::steady_clock::now(), limits);
  if (!valid) return LoginFailed(session, given.user, settled.barred);
  if (settled.suspect) PauseBeforeAnswer(session, FailureDelay(session));
  session.policy.LoggedIn(given.user);
  return Answer(session, kSucceeded);
}

}  // namespace

CommandOutcome HandleAuth(Session& session, std::string_view argument) {
  size_t blank = argument.find_first_of(" \t");
  std::string_view mechanism = argument.substr(0, blank);
  std::optional<std::string_view> initial;
  if (blank != std::string_view::npos) {
    initial = argument.substr(argument.find_first_not_of(" \t", blank));
  }
  // With no one to log in, there is no login: as a relay that never offered one answers.
  if (!session.relay.knownUsers.Any()) return Refuse(session, kNotImplemented);
  PolicyAnswer answer = session.policy.AtAuth();
  if (!answer.allowed()) return Refuse(session, answer.refusal);
  if (mechanism.empty()) return Refuse(session, "501 5.5.4 Syntax: AUTH mechanism\r\n");
  if (session.relay.loginFailures.Blocked(session.policy.client(), std::chrono::steady_clock::now())) {
    session.farewell = kTooManyFailures;
    return CommandOutcome::Failed;
  }
  CommandOutcome outcome = CommandOutcome::Continue;
  std::optional<Credentials> given;
  if (EqualsIgnoreCase(mechanism, "PLAIN")) {
    given = Plain(session, initial, outcome);
  } else if (EqualsIgnoreCase(mechanism, "LOGIN")) {
    given = Login(session, initial, outcome);
  } else {
    return Refuse(session, kUnknownMechanism);
  }
  if (!given) return outcome;
  return CheckLogin(session, *given);
}

}  // namespace vellomar
