#include "smtp_server/session_commands.h"

#include <string_view>

#include "common/text.h"

namespace vellomar {

namespace {

// Line ends are exactly these: several replies end in a line feed alone.
constexpr std::string_view kNoopReply = "200 Ok\n";
constexpr std::string_view kNotImplemented = "Command not implemented\n";
constexpr std::string_view kUnrecognized = "500 Syntax error, command unrecognized\n";
constexpr std::string_view kBadCharacters = "501 5.5.2 Syntax error\r\n";

using Handler = CommandOutcome (*)(SessionRun&, const std::string&);

CommandOutcome Noop(SessionRun& run, const std::string&) {
  return SendReply(run, kNoopReply) ? CommandOutcome::Continue : CommandOutcome::Failed;
}

template <bool (*Handle)(SessionRun&, const std::string&)>
CommandOutcome Step(SessionRun& run, const std::string& line) {
  return Handle(run, line) ? CommandOutcome::Continue : CommandOutcome::Failed;
}

CommandOutcome Quit(SessionRun& run, const std::string& line) {
  HandleQuit(run, line);
  return CommandOutcome::Quit;
}

// A reply that precedes a failed end is sent once; whether it went out changes nothing.
CommandOutcome NotImplemented(SessionRun& run, const std::string&) {
  (void)SendReply(run, kNotImplemented);
  return CommandOutcome::Failed;
}

CommandOutcome Unrecognized(SessionRun& run, const std::string&) {
  (void)SendReply(run, kUnrecognized);
  return CommandOutcome::Failed;
}

constexpr unsigned Bit(SessionState state) { return 1u << state; }
constexpr unsigned kEveryState = Bit(Greeted) | Bit(HeloDone) | Bit(MailDone) | Bit(RcptDone) | Bit(DataDone);

struct CommandRow {
  const char* word;
  unsigned acceptedIn;
  Handler handler;
  SessionState next;  // Greeted here means "unchanged, or as the handler set it"
  Handler otherwise;  // in a state that does not accept the word
};

// Tested in this order; the word is the line's first four characters in upper case. MAIL
// after a committed message (DataDone) begins the next message.
const CommandRow kCommands[] = {
    {"NOOP", kEveryState, Noop, Greeted, Unrecognized},
    {"HELO", Bit(Greeted), Step<HandleHelo>, HeloDone, Unrecognized},
    {"EHLO", Bit(Greeted), Step<HandleEhlo>, HeloDone, Unrecognized},
    {"MAIL", Bit(HeloDone) | Bit(DataDone), Step<HandleMail>, MailDone, Unrecognized},
    {"RCPT", Bit(MailDone) | Bit(RcptDone), Step<HandleRcpt>, RcptDone, Unrecognized},
    {"DATA", Bit(RcptDone), Step<ReceiveData>, DataDone, Unrecognized},
    {"RSET", kEveryState, Step<HandleRset>, Greeted, Unrecognized},
    {"QUIT", kEveryState, Quit, Greeted, Quit},
    {"AUTH", kEveryState, NotImplemented, Greeted, NotImplemented},
    {"EXPN", kEveryState, NotImplemented, Greeted, NotImplemented},
    {"VRFY", kEveryState, NotImplemented, Greeted, NotImplemented},
};

// A CR anywhere but before the final LF, a NUL or another control character would be stored
// and replayed as part of a line: a forged header in the trace, or a line end that some
// server reads where we did not.
bool HasControlCharacters(const std::string& line) {
  size_t end = line.size() - 1;  // the line feed
  if (end > 0 && line[end - 1] == '\r') --end;
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 && c != '\t') return true;
  }
  return false;
}

}  // namespace

CommandOutcome DispatchCommand(SessionRun& run, const std::string& line) {
  if (HasControlCharacters(line)) {
    return SendReply(run, kBadCharacters) ? CommandOutcome::Continue : CommandOutcome::Failed;
  }
  std::string word;
  for (size_t i = 0; i < 4 && i < line.size(); ++i) word += ToUpperAscii(line[i]);
  for (const CommandRow& row : kCommands) {
    if (word != row.word) continue;
    if ((row.acceptedIn & Bit(run.state)) == 0) return row.otherwise(run, line);
    CommandOutcome outcome = row.handler(run, line);
    if (outcome == CommandOutcome::Continue && row.next != Greeted) run.state = row.next;
    return outcome;
  }
  return Unrecognized(run, line);
}

}  // namespace vellomar
