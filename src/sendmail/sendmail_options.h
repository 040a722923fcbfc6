#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellomar {

// What a local program asks of vellomar-sendmail, read from sendmail's command line as
// programs use it.
enum class SendmailMode {
  Deliver,  // -bm (the default): one message on standard input
  Queue,    // -bp, or called as mailq
  Smtp,     // -bs: an SMTP dialogue on standard input and output
  Aliases,  // called as newaliases (or -bi): the aliases checked
};

struct SendmailRequest {
  SendmailMode mode = SendmailMode::Deliver;
  // -t: the recipients of To:, Cc: and Bcc: are added to those of the arguments.
  bool extractRecipients = false;
  // Without -i (or -oi) a line holding a lone "." ends the message.
  bool dotEnds = true;
  // -f or -r; an empty sender ("<>") is the null sender.
  bool senderGiven = false;
  std::string sender;
  // -F: the name of a From: that is added.
  std::string fullName;
  // The recipient arguments, each an address list ("a@x, Jane <b@y>", "root").
  std::vector<std::string> recipients;
};

// The request, or a usage error: an option not known, an option without its value, a mode
// not served.
struct SendmailCommandLine {
  SendmailRequest request;
  std::string usageError;
};
// `program` is argv[0]: called as mailq or newaliases it is that command.
SendmailCommandLine ParseSendmailCommandLine(std::string_view program, const std::vector<std::string>& arguments);

}  // namespace vellomar
