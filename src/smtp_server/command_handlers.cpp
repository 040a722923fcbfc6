// HELO, EHLO, MAIL, RCPT, RSET and QUIT: each hands the message writer what the command
// means (the greeting domain, the sender, a recipient), never the line the client wrote, so
// that the replay of an acknowledged message can never be refused for the way its envelope
// was sent; the writer alone decides how it is stored.
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "common/account_choice.h"
#include "common/graph_limits.h"
#include "common/local_names.h"
#include "common/text.h"
#include "common/user_file.h"
#include "smtp_server/mail_path.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr std::string_view kOk = "250 Ok\r\n";
// SMTPUTF8 is not offered, so an address must be ASCII (RFC 6531, 3.5).
constexpr std::string_view kNonAscii = "553 5.6.7 Non-ASCII addresses not permitted\r\n";

bool ValidSize(std::string_view value) {
  return !value.empty() && value.size() <= 18 && value.find_first_not_of("0123456789") == std::string_view::npos;
}

bool ValidBody(std::string_view value) { return EqualsIgnoreCase(value, "7BIT") || EqualsIgnoreCase(value, "8BITMIME"); }

// A parameter that MAIL or RCPT takes: only one of an extension the EHLO reply offers. None
// is stored: what the next relay is told of a message is read from the message itself.
struct ParameterRule {
  std::string_view verb;
  std::string_view keyword;
  bool (*valid)(std::string_view value);
};
constexpr std::array<ParameterRule, 2> kParameters{{
    {"MAIL", "SIZE", ValidSize},  // SIZE (RFC 1870)
    {"MAIL", "BODY", ValidBody},  // 8BITMIME (RFC 6152)
}};

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

// A message declared larger than the limit is refused before it is sent.
bool DeclaredTooLarge(const Session& session, const MailPath& path) {
  if (session.MessageLimit() <= 0) return false;
  for (const auto& [keyword, value] : path.parameters) {
    int64_t declared = 0;
    // At most 18 digits (ValidSize): the value fits.
    if (!EqualsIgnoreCase(keyword, "SIZE")) continue;
    std::from_chars(value.data(), value.data() + value.size(), declared);
    if (declared > session.MessageLimit()) return true;
  }
  return false;
}

// The EHLO reply: the extensions this session offers now. STARTTLS where the port has TLS and
// it has not started; AUTH where the policy would take a login and there is anyone to log in.
std::string EhloReply(const Session& session) {
  std::vector<std::string> lines = {"vesk", "PIPELINING", "SIZE " + std::to_string(session.maxSize), "8BITMIME"};
  if (session.port.tls && !session.connection.IsEncrypted()) lines.push_back("STARTTLS");
  if (session.policy.MayLogIn() && session.relay.knownUsers.Any()) lines.push_back("AUTH PLAIN LOGIN");
  std::string reply;
  for (size_t i = 0; i < lines.size(); ++i) reply += (i + 1 < lines.size() ? "250-" : "250 ") + lines[i] + "\r\n";
  return reply;
}

// HELO or EHLO, in any state: a later one drops the open transaction as RSET does, and the
// files of the connection's next messages begin with its line. The domain is the first word.
CommandOutcome Greeting(Session& session, std::string_view argument, const std::string& verb, std::string_view reply) {
  std::string_view domain = argument.substr(0, argument.find_first_of(" \t"));
  if (domain.empty()) return Refuse(session, "501 5.5.4 " + verb + " requires domain address\r\n");
  session.heloDomain = std::string(domain);
  session.transactionOpen = false;
  session.summary = MailSummary{};
  if (!Stored(session, session.message.Greeting(domain))) return CommandOutcome::Failed;
  if (session.message.open()) session.summary.size = session.message.length();
  session.state = HeloDone;
  return Answer(session, reply);
}

// After a committed message: the next one's file, under a name of its own that the
// connection's registry entry moves to, begins with the connection's greeting.
bool StartNextMessage(Session& session) {
  const std::string previous = session.message.name();
  Status created = session.message.Create();
  session.relay.incoming.RenameWorker(previous, session.message.name());
  session.summary = MailSummary{};
  if (!created) {
    session.farewell = kCannotStore;
    return false;
  }
  if (!Stored(session, session.message.RollBack())) return false;
  session.summary.size = session.message.length();
  return true;
}

// The rules of local names, when they apply to this client and address: a client on this
// machine naming a local user, on a relay set up for local names.
std::optional<LocalNameRules> LocalRules(Session& session, const Settings& settings, std::string_view address) {
  if (!session.policy.LocalNamesApply() || address.empty() || !LocalNamesConfigured(settings)) return std::nullopt;
  LocalNameRules rules = session.relay.localNames.RulesFor(settings);
  if (!IsLocalAddress(address, rules.localDomain)) return std::nullopt;
  return rules;
}

}  // namespace

CommandOutcome HandleHelo(Session& session, std::string_view argument) {
  return Greeting(session, argument, "HELO", kOk);
}

// Stored as the HELO line it stands for, so that every spool file keeps one layout and the
// next relay is greeted as the stored dialogue says.
CommandOutcome HandleEhlo(Session& session, std::string_view argument) {
  return Greeting(session, argument, "EHLO", EhloReply(session));
}

CommandOutcome HandleMail(Session& session, std::string_view argument) {
  if (HasEightBitPath(argument)) return Refuse(session, kNonAscii);
  std::optional<MailPath> path = ParseMailPath(argument, "FROM:");
  if (!path) return Refuse(session, "501 5.5.4 Syntax: MAIL FROM:<address>\r\n");
  std::string_view refusal = RefusedParameter("MAIL", *path);
  if (!refusal.empty()) return Refuse(session, refusal);
  // The sender's account is known from here on: one that sends through Microsoft Graph takes
  // no message larger than Graph does, so that none is accepted that could never leave.
  const bool graph = SendsThroughGraph(AccountSettingsFor(*session.relay.settings(), path->address));
  session.accountLimit = graph ? static_cast<int64_t>(kGraphLargestMessage) : 0;
  if (DeclaredTooLarge(session, *path)) return Refuse(session, session.SizeRefusal());
  // After a committed message, MAIL begins the next one in a file of its own.
  if (!session.message.open() && !StartNextMessage(session)) return CommandOutcome::Failed;
  std::string sender = path->address;
  auto settings = session.relay.settings();
  std::optional<LocalNameRules> rules = LocalRules(session, *settings, sender);
  // A local user's sender and From: become what a provider takes.
  if (rules) sender = ResolveSender(sender, *rules);
  if (!Stored(session, session.message.Sender(sender))) return CommandOutcome::Failed;
  if (rules) session.message.EditHeader(HeaderEdit{rules->localDomain, rules->localSender, sender, "", false, "", ""});
  session.transactionOpen = true;
  session.summary.sender = "<" + sender + ">";
  session.state = MailDone;
  return Answer(session, kOk);
}

CommandOutcome HandleRcpt(Session& session, std::string_view argument) {
  if (HasEightBitPath(argument)) return Refuse(session, kNonAscii);
  std::optional<MailPath> path = ParseMailPath(argument, "TO:");
  if (!path || path->address.empty()) return Refuse(session, "501 5.5.4 Syntax: RCPT TO:<address>\r\n");
  std::string_view refusal = RefusedParameter("RCPT", *path);
  if (!refusal.empty()) return Refuse(session, refusal);
  std::vector<std::string> recipients{path->address};
  auto settings = session.relay.settings();
  if (LocalRules(session, *settings, path->address)) {
    Resolution resolved = session.relay.localNames.Recipient(*settings, path->address);
    for (const std::string& problem : session.relay.localNames.TakeProblems()) session.relay.AppendLog("Aliases: " + problem);
    if (!resolved.refusal.empty()) return Refuse(session, "550 5.1.1 <" + path->address + ">: " + resolved.refusal + "\r\n");
    recipients = std::move(resolved.addresses);
  }
  for (const std::string& recipient : recipients) {
    if (!Stored(session, session.message.Recipient(recipient))) return CommandOutcome::Failed;
    ++session.summary.recipientCount;
  }
  session.summary.size = session.message.length();
  session.state = RcptDone;
  return Answer(session, kOk);
}

CommandOutcome HandleRset(Session& session, std::string_view) {
  if (session.transactionOpen) {
    session.transactionOpen = false;
    session.summary = MailSummary{};
    if (!Stored(session, session.message.RollBack())) return CommandOutcome::Failed;
    session.summary.size = session.message.length();
  }
  if (session.state != Greeted) session.state = HeloDone;
  return Answer(session, kOk);
}

CommandOutcome HandleQuit(Session& session, std::string_view) {
  // Whatever was committed is safe; an unfinished message goes with the session's end.
  (void)SendReply(session, "221 Ok\r\n");  // the connection closes either way
  return CommandOutcome::Quit;
}

}  // namespace vellomar
