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

}  // namespace

int ServeSmtpOnStdio(const RelayPlace& place, MessageSource& input, int output, const std::string& hostName) {
  Dialogue dialogue{place, input, output, "", false, false, std::nullopt};
  if (!dialogue.Reply("220 " + hostName + " Vellomar sendmail ready\r\n")) return EX_IOERR;
  std::string line;
  while (dialogue.NextLine(line)) {
    std::string_view verb = std::string_view(line).substr(0, line.find(' '));
    bool sent;
    if (line.size() > kMaxCommandLine) {
      sent = dialogue.Reply("500 5.5.6 Line too long\r\n");
    } else if (EqualsIgnoreCase(verb, "HELO") || EqualsIgnoreCase(verb, "EHLO")) {
      dialogue.envelope.reset();
      sent = dialogue.Reply("250 " + hostName + "\r\n");
    } else if (EqualsIgnoreCase(verb, "MAIL")) {
      auto path = ParseMailPath(Argument(line), "FROM:");
      if (!path || !path->parameters.empty() || (!path->address.empty() && !IsPathMailbox(path->address))) {
        sent = dialogue.Reply("501 5.5.4 Syntax: MAIL FROM:<address>\r\n");
      } else {
        dialogue.envelope = DropEnvelope{true, path->address, "", {}};
        sent = dialogue.Reply("250 2.1.0 Ok\r\n");
      }
    } else if (EqualsIgnoreCase(verb, "RCPT")) {
      auto path = ParseMailPath(Argument(line), "TO:");
      if (!dialogue.envelope) {
        sent = dialogue.Reply("503 5.5.1 Bad sequence of commands\r\n");
      } else if (!path || !path->parameters.empty() || !IsPathMailbox(path->address)) {
        sent = dialogue.Reply("501 5.5.4 Syntax: RCPT TO:<address>\r\n");
      } else {
        dialogue.envelope->recipients.push_back(path->address);
        sent = dialogue.Reply("250 2.1.5 Ok\r\n");
      }
    } else if (EqualsIgnoreCase(verb, "DATA")) {
      if (!dialogue.envelope || dialogue.envelope->recipients.empty()) {
        sent = dialogue.Reply("503 5.5.1 Bad sequence of commands\r\n");
      } else {
        if (!dialogue.Reply("354 End data with <CR><LF>.<CR><LF>\r\n")) return EX_IOERR;
        if (!dialogue.Data()) return EX_TEMPFAIL;
        sent = true;
      }
    } else if (EqualsIgnoreCase(verb, "RSET") || EqualsIgnoreCase(verb, "NOOP")) {
      if (EqualsIgnoreCase(verb, "RSET")) dialogue.envelope.reset();
      sent = dialogue.Reply("250 2.0.0 Ok\r\n");
    } else if (EqualsIgnoreCase(verb, "VRFY")) {
      sent = dialogue.Reply("252 2.5.2 Cannot verify, but will accept the message\r\n");
    } else if (EqualsIgnoreCase(verb, "QUIT")) {
      (void)dialogue.Reply("221 2.0.0 Bye\r\n");  // the dialogue is over either way
      return 0;
    } else {
      sent = dialogue.Reply("500 5.5.2 Command unrecognized\r\n");
    }
    if (!sent) return EX_IOERR;
  }
  return dialogue.readFailed ? EX_TEMPFAIL : 0;
}

}  // namespace vellomar
