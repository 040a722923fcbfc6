// The command table: one row per verb, each with its check (the states that accept the verb,
// and the policy's say where it has one) and its proceed (the handler).
#include <string_view>

#include "common/text.h"
#include "smtp_server/relay_policy.h"
#include "smtp_server/session.h"

namespace vellomar {

namespace {

constexpr std::string_view kUnrecognized = "500 5.5.2 Command unrecognized\r\n";
constexpr std::string_view kBadSequence = "503 5.5.1 Bad sequence of commands\r\n";
constexpr std::string_view kBadCharacters = "501 5.5.2 Syntax error\r\n";

using Handler = CommandOutcome (*)(Session&, std::string_view argument);
using PolicyQuestion = PolicyAnswer (RelayPolicy::*)() const;

CommandOutcome Noop(Session& session, std::string_view) { return Answer(session, "250 2.0.0 Ok\r\n"); }

// Mail programs and devices probe with these; an answer lets them go on.
CommandOutcome Verify(Session& session, std::string_view) {
  return Answer(session, "252 2.5.2 Cannot verify, but will accept the message\r\n");
}

CommandOutcome Help(Session& session, std::string_view) {
  return Answer(session, "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP\r\n");
}

CommandOutcome NotImplemented(Session& session, std::string_view) {
  return Refuse(session, "502 5.5.1 Command not implemented\r\n");
}

constexpr unsigned Bit(SessionState state) { return 1u << state; }
constexpr unsigned kEveryState = Bit(Greeted) | Bit(HeloDone) | Bit(MailDone) | Bit(RcptDone) | Bit(DataDone);

struct CommandRow {
  std::string_view verb;
  // The check. In a state not listed: "503 5.5.1 Bad sequence of commands"; then, where the
  // policy has a say, its refusal.
  unsigned acceptedIn;
  PolicyQuestion policy;
  // The proceed.
  Handler proceed;
};

// The verb is the line's first word, in any case. MAIL after a committed message (DataDone)
// begins the next message; HELO and EHLO may come again, and begin afresh.
constexpr CommandRow kCommands[] = {
    {"HELO", kEveryState, nullptr, HandleHelo},
    {"EHLO", kEveryState, nullptr, HandleEhlo},
    {"MAIL", Bit(HeloDone) | Bit(DataDone), &RelayPolicy::AtMail, HandleMail},
    {"RCPT", Bit(MailDone) | Bit(RcptDone), &RelayPolicy::AtRcpt, HandleRcpt},
    {"DATA", Bit(RcptDone), nullptr, ReceiveData},
    {"RSET", kEveryState, nullptr, HandleRset},
    {"NOOP", kEveryState, nullptr, Noop},
    {"QUIT", kEveryState, nullptr, HandleQuit},
    {"VRFY", kEveryState, nullptr, Verify},
    {"HELP", kEveryState, nullptr, Help},
    // Between transactions, after a greeting.
    {"STARTTLS", Bit(HeloDone) | Bit(DataDone), nullptr, HandleStartTls},
    {"AUTH", Bit(HeloDone) | Bit(DataDone), nullptr, HandleAuth},
    {"EXPN", kEveryState, nullptr, NotImplemented},
};

// A CR anywhere but before the final LF, a NUL or another control character would be stored
// and replayed as part of a line: a forged header in the trace, or a line end that some
// server reads where we did not.
bool HasControlCharacters(std::string_view text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && c != '\t') return true;
  }
  return false;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text without the blanks around it.
std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

const CommandRow* FindCommand(std::string_view verb) {
  for (const CommandRow& row : kCommands) {
    if (EqualsIgnoreCase(verb, row.verb)) return &row;
  }
  return nullptr;
}

}  // namespace

CommandOutcome DispatchCommand(Session& session, const std::string& line) {
  std::string_view text(line);
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (HasControlCharacters(text)) return Refuse(session, kBadCharacters);
  text = Trimmed(text);
  size_t blank = text.find_first_of(" \t");
  std::string_view verb = text.substr(0, blank);
  std::string_view argument = blank == std::string_view::npos ? std::string_view() : Trimmed(text.substr(blank));
  const CommandRow* row = FindCommand(verb);
  if (row == nullptr) return Refuse(session, kUnrecognized);
  if ((row->acceptedIn & Bit(session.state)) == 0) return Refuse(session, kBadSequence);
  if (row->policy != nullptr) {
    PolicyAnswer answer = (session.policy.*row->policy)();
    if (!answer.allowed()) return Refuse(session, answer.refusal);
  }
  return row->proceed(session, argument);
}

}  // namespace vellomar
