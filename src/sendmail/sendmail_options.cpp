#include "sendmail/sendmail_options.h"

#include "common/text.h"

namespace vellomar {

namespace {

using Mode = SendmailMode;

// -o options programs pass: -oi is -i, the others ask for what is done anyway (errors by
// status and message, delivery in the background, the queue's own folder).
bool TakeOption(std::string_view value, SendmailRequest& request) {
  if (value == "i") {
    request.dotEnds = false;
    return true;
  }
  return value == "em" || value == "ee" || value == "di" || value == "db" || (value.size() > 1 && value[0] == 'Q');
}

bool TakeMode(std::string_view value, SendmailRequest& request) {
  if (value == "m") request.mode = Mode::Deliver;
  else if (value == "p") request.mode = Mode::Queue;
  else if (value == "s") request.mode = Mode::Smtp;
  else if (value == "i") request.mode = Mode::Aliases;
  else return false;
  return true;
}

// "<addr>" as sendmail takes it: the brackets go; "<>" is the null sender.
std::string SenderValue(std::string_view value) {
  if (value.size() >= 2 && value.front() == '<' && value.back() == '>') value = value.substr(1, value.size() - 2);
  return std::string(value);
}

// One option letter with its value; false when it is not served.
bool TakeValue(char letter, std::string_view value, SendmailRequest& request) {
  switch (letter) {
    case 'b':
      return TakeMode(value, request);
    case 'o':
      return TakeOption(value, request);
    case 'f':
    case 'r':
      request.senderGiven = true;
      request.sender = SenderValue(value);
      return true;
    case 'F':
      request.fullName = std::string(value);
      return true;
    case 'B':
      return EqualsIgnoreCase(value, "8BITMIME") || EqualsIgnoreCase(value, "7BIT");
    default:  // -N, -R, -V, -X: delivery notices, returned content, envelope id, a log file
      return true;
  }
}

constexpr std::string_view kValueLetters = "bofrFBNRVX";
constexpr std::string_view kFlagLetters = "itv";

}  // namespace

SendmailCommandLine ParseSendmailCommandLine(std::string_view program, const std::vector<std::string>& arguments) {
  SendmailCommandLine line;
  SendmailRequest& request = line.request;
  std::string_view name = program.substr(program.rfind('/') == std::string_view::npos ? 0 : program.rfind('/') + 1);
  if (name == "mailq") request.mode = Mode::Queue;
  if (name == "newaliases") request.mode = Mode::Aliases;
  bool options = true;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (!options || argument.size() < 2 || argument[0] != '-') {
      request.recipients.emplace_back(argument);
      continue;
    }
    if (argument == "--") {
      options = false;
      continue;
    }
    // Letters may be grouped ("-ti"); a letter that takes a value takes the rest of the
    // argument, or the next argument.
    for (size_t at = 1; at < argument.size(); ++at) {
      char letter = argument[at];
      if (kFlagLetters.find(letter) != std::string_view::npos) {
        if (letter == 'i') request.dotEnds = false;
        if (letter == 't') request.extractRecipients = true;
        continue;
      }
      if (kValueLetters.find(letter) == std::string_view::npos) {
        line.usageError = "unknown option -" + std::string(1, letter);
        return line;
      }
      std::string_view value = argument.substr(at + 1);
      if (value.empty()) {
        if (i + 1 == arguments.size()) {
          line.usageError = "option -" + std::string(1, letter) + " needs a value";
          return line;
        }
        value = arguments[++i];
      }
      if (!TakeValue(letter, value, request)) {
        line.usageError = "option -" + std::string(1, letter) + std::string(value) + " is not served";
        return line;
      }
      break;
    }
  }
  if (request.mode == Mode::Aliases && !request.recipients.empty()) {
    line.usageError = "newaliases takes no address";
  }
  return line;
}

}  // namespace vellomar
