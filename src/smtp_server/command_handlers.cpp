// HELO, EHLO, MAIL, RCPT, RSET and QUIT: each stores what the message needs and answers.
// A command is stored as the next relay is to read it, not as the client wrote it: "HELO
// <domain>", "MAIL FROM:<address>", "RCPT TO:<address>", each ending in CR LF, so that the
// replay of an acknowledged message can never be refused for the way its envelope was sent.
#include <array>
#include <optional>

#include "common/text.h"
#include "smtp_server/mail_path.h"
#include "smtp_server/message_store.h"
#include "smtp_server/server_session.h"

namespace vellomar {

namespace {

constexpr std::string_view kOk = "250 Ok\r\n";

// A parameter that MAIL or RCPT takes: only one of an extension the EHLO reply offers. None
// is offered yet; an extension that is adds its rows here.
struct ParameterRule {
  std::string_view verb;
  std::string_view keyword;
  bool (*valid)(std::string_view value);
};
constexpr std::array<ParameterRule, 0> kParameters{};

// The reply that refuses the first parameter not taken; empty when all are.
std::string_view RefusedParameter(std::string_view verb, const MailPath& path) {
  for (const auto& [keyword, value] : path.parameters) {
    const ParameterRule* rule = nullptr;
    for (const ParameterRule& candidate : kParameters) {
      if (candidate.verb == verb && EqualsIgnoreCase(candidate.keyword, keyword)) rule = &candidate;
    }
    if (rule == nullptr) return "555 5.5.4 Parameter not recognized\r\n";
    if (!rule->valid(value)) return "501 5.5.4 Invalid parameter value\r\n";
  }
  return {};
}

// HELO or EHLO, in any state: a later one drops the open transaction as RSET does, and the
// files of the connection's next messages begin with its line. The domain is the first word.
CommandOutcome Greeting(SessionRun& run, std::string_view argument, const std::string& verb, std::string_view reply) {
  std::string_view domain = argument.substr(0, argument.find_first_of(" \t"));
  if (domain.empty()) return Refuse(run, "501 5.5.4 " + verb + " requires domain address\r\n");
  run.session.heloDomain = std::string(domain);
  run.heloLine = "HELO " + run.session.heloDomain + "\r\n";
  if (!ResetMessage(run)) return CommandOutcome::Failed;
  run.state = HeloDone;
  return Answer(run, reply);
}

}  // namespace

CommandOutcome HandleHelo(SessionRun& run, std::string_view argument) { return Greeting(run, argument, "HELO", kOk); }

// Stored as the HELO line it stands for, so that every spool file keeps one layout and the
// next relay is greeted as the stored dialogue says.
CommandOutcome HandleEhlo(SessionRun& run, std::string_view argument) {
  return Greeting(run, argument, "EHLO", "250-vesk\r\n250 PIPELINING\r\n");
}

CommandOutcome HandleMail(SessionRun& run, std::string_view argument) {
  std::optional<MailPath> path = ParseMailPath(argument, "FROM:");
  if (!path) return Refuse(run, "501 5.5.4 Syntax: MAIL FROM:<address>\r\n");
  std::string_view refusal = RefusedParameter("MAIL", *path);
  if (!refusal.empty()) return Refuse(run, refusal);
  // After a committed message, MAIL begins the next one in a file of its own.
  if (!run.fileOurs && !StartNextMessage(run)) return CommandOutcome::Failed;
  const std::string reversePath = "<" + path->address + ">";
  if (!AppendOrFault(run, "MAIL FROM:" + reversePath + "\r\n")) return CommandOutcome::Failed;
  run.transactionOpen = true;
  run.session.summary.sender = reversePath;
  run.state = MailDone;
  return Answer(run, kOk);
}

CommandOutcome HandleRcpt(SessionRun& run, std::string_view argument) {
  std::optional<MailPath> path = ParseMailPath(argument, "TO:");
  if (!path || path->address.empty()) return Refuse(run, "501 5.5.4 Syntax: RCPT TO:<address>\r\n");
  std::string_view refusal = RefusedParameter("RCPT", *path);
  if (!refusal.empty()) return Refuse(run, refusal);
  if (!AppendOrFault(run, "RCPT TO:<" + path->address + ">\r\n")) return CommandOutcome::Failed;
  ++run.session.summary.recipientCount;
  run.session.summary.size = SpoolLength(run);
  run.state = RcptDone;
  return Answer(run, kOk);
}

CommandOutcome HandleRset(SessionRun& run, std::string_view) {
  if (run.transactionOpen && !ResetMessage(run)) return CommandOutcome::Failed;
  if (run.state != Greeted) run.state = HeloDone;
  return Answer(run, kOk);
}

CommandOutcome HandleQuit(SessionRun& run, std::string_view) {
  // Whatever was committed is safe; an unfinished message goes with the session's end.
  (void)SendReply(run, "221 Ok\r\n");  // the connection closes either way
  return CommandOutcome::Quit;
}

}  // namespace vellomar
