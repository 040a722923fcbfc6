#include "sendmail/stdio_smtp.h"

#include <sysexits.h>

#include <optional>

#include "common/text.h"
#include "platform/file_system.h"
#include "sendmail/message_input.h"
#include "smtp_server/mail_path.h"

namespace vellomar {

namespace {

constexpr size_t kMaxCommandLine = 4096;

struct Dialogue {
  const RelayPlace& place;
  MessageSource& input;
  int output;
  const std::string& hostName;
  std::string buffer;
  bool inputEnded = false;
  bool readFailed = false;
  std::optional<DropEnvelope> envelope;

  bool Reply(std::string_view text) { return WriteAll(output, text.data(), text.size()).ok(); }

  // The next command line without its line end; false at the input's end.
  bool NextLine(std::string& line) {
    size_t feed;
    while ((feed = buffer.find('\n')) == std::string::npos && !inputEnded) {
      auto got = input.Read(buffer);
      readFailed = !got;
      inputEnded = !got || got.value() == 0;
    }
    if (feed == std::string::npos) return false;
    line = buffer.substr(0, feed);
    buffer.erase(0, feed + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  // DATA: the message up to its "." line, dropped; false when the input ended first.
  bool Data() {
    MessageEnd end(true, true);
    std::string message;
    size_t used = end.Feed(buffer, message);
    buffer.erase(0, used);
    HandOverResult dropped = DropMessage(place, *envelope, message, end.ended() ? nullptr : &input, &end, true, &buffer);
    envelope.reset();
    // A message that could not be dropped is still read to its end, so that none of its
    // lines is taken for a command.
    while (!end.ended()) {
      std::string more, discarded;
      auto got = input.Read(more);
      if (!got || got.value() == 0) return false;
      buffer.assign(more, end.Feed(more, discarded));
    }
    if (dropped.status == 0) return Reply("250 2.0.0 Ok: queued\r\n");
    // A message refused for what it holds (a loop's trace fields) is refused for good.
    if (dropped.status == EX_DATAERR) return Reply("554 " + dropped.error + "\r\n");
    return Reply("451 4.3.0 " + dropped.error + "\r\n");
  }
};

std::string_view Argument(std::string_view line) {
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  line.remove_prefix(blank + 1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  return line;
}

// What a command leaves: the dialogue goes on, or it ends with this exit status.
using Next = std::optional<int>;
constexpr Next kGoOn = std::nullopt;

Next Sent(bool sent) { return sent ? kGoOn : Next(EX_IOERR); }

Next Hello(Dialogue& d, std::string_view) {
  d.envelope.reset();
  return Sent(d.Reply("250 " + d.hostName + "\r\n"));
}

Next Mail(Dialogue& d, std::string_view argument) {
  auto path = ParseMailPath(argument, "FROM:");
  if (!path || !path->parameters.empty() || (!path->address.empty() && !IsPathMailbox(path->address))) {
    return Sent(d.Reply("501 5.5.4 Syntax: MAIL FROM:<address>\r\n"));
  }
  d.envelope = DropEnvelope{true, path->address, "", {}};
  return Sent(d.Reply("250 2.1.0 Ok\r\n"));
}

Next Rcpt(Dialogue& d, std::string_view argument) {
  auto path = ParseMailPath(argument, "TO:");
  if (!d.envelope) return Sent(d.Reply("503 5.5.1 Bad sequence of commands\r\n"));
  if (!path || !path->parameters.empty() || !IsPathMailbox(path->address)) {
    return Sent(d.Reply("501 5.5.4 Syntax: RCPT TO:<address>\r\n"));
  }
  d.envelope->recipients.push_back(path->address);
  return Sent(d.Reply("250 2.1.5 Ok\r\n"));
}

Next Data(Dialogue& d, std::string_view) {
  if (!d.envelope || d.envelope->recipients.empty()) return Sent(d.Reply("503 5.5.1 Bad sequence of commands\r\n"));
  if (!d.Reply("354 End data with <CR><LF>.<CR><LF>\r\n")) return EX_IOERR;
  // The input's end inside the data: that message is not queued, and the caller is told so.
  if (!d.Data()) return EX_TEMPFAIL;
  return kGoOn;
}

Next Reset(Dialogue& d, std::string_view) {
  d.envelope.reset();
  return Sent(d.Reply("250 2.0.0 Ok\r\n"));
}

Next Noop(Dialogue& d, std::string_view) { return Sent(d.Reply("250 2.0.0 Ok\r\n")); }

Next Verify(Dialogue& d, std::string_view) {
  return Sent(d.Reply("252 2.5.2 Cannot verify, but will accept the message\r\n"));
}

Next Quit(Dialogue& d, std::string_view) {
  (void)d.Reply("221 2.0.0 Bye\r\n");  // the dialogue is over either way
  return 0;
}

struct Command {
  std::string_view verb;
  Next (*handle)(Dialogue&, std::string_view argument);
};
constexpr Command kCommands[] = {
    {"HELO", Hello}, {"EHLO", Hello}, {"MAIL", Mail},  {"RCPT", Rcpt},   {"DATA", Data},
    {"RSET", Reset}, {"NOOP", Noop},  {"VRFY", Verify}, {"QUIT", Quit},
};

Next Dispatch(Dialogue& d, const std::string& line) {
  if (line.size() > kMaxCommandLine) return Sent(d.Reply("500 5.5.6 Line too long\r\n"));
  std::string_view verb = std::string_view(line).substr(0, line.find(' '));
  for (const Command& command : kCommands) {
    if (EqualsIgnoreCase(verb, command.verb)) return command.handle(d, Argument(line));
  }
  return Sent(d.Reply("500 5.5.2 Command unrecognized\r\n"));
}

}  // namespace

int ServeSmtpOnStdio(const RelayPlace& place, MessageSource& input, int output, const std::string& hostName) {
  Dialogue dialogue{place, input, output, hostName, "", false, false, std::nullopt};
  if (!dialogue.Reply("220 " + hostName + " Vellomar sendmail ready\r\n")) return EX_IOERR;
  std::string line;
  while (dialogue.NextLine(line)) {
    if (Next ended = Dispatch(dialogue, line)) return *ended;
  }
  return dialogue.readFailed ? EX_TEMPFAIL : 0;
}

}  // namespace vellomar
