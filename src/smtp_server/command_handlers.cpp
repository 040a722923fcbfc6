// HELO, EHLO, MAIL, RCPT, RSET and QUIT: each stores what the message needs and answers.
#include "smtp_server/message_store.h"
#include "smtp_server/server_session.h"

namespace vellomar {

namespace {

constexpr std::string_view kOk = "250 Ok\r\n";

// The domain of a HELO or EHLO line: behind the word and its blank, before the line end.
std::string GreetingDomain(const std::string& line) {
  size_t end = line.size() - 1;
  if (end > 5 && line[end - 1] == '\r') --end;
  return line.substr(5, end - 5);
}

// A greeting line too short to name a domain ends the session, whichever word it uses.
bool TooShort(SessionRun& run, const std::string& line) {
  if (line.size() >= 8) return false;
  (void)SendReply(run, "501 HELO requires domain address\n");  // the session ends either way
  return true;
}

// Stores the line every spool file of this connection begins with.
bool StoreGreeting(SessionRun& run, std::string heloLine, const std::string& domain) {
  run.session.heloDomain = domain;
  run.heloLine = std::move(heloLine);
  if (!AppendOrFault(run, run.heloLine)) return false;
  run.session.summary.size = SpoolLength(run);
  return true;
}

}  // namespace

bool HandleHelo(SessionRun& run, const std::string& line) {
  if (TooShort(run, line)) return false;
  return StoreGreeting(run, line, GreetingDomain(line)) && SendReply(run, kOk);
}

// Stored as the HELO line it stands for, so that every spool file keeps one layout and the
// next relay is greeted as the stored dialogue says.
bool HandleEhlo(SessionRun& run, const std::string& line) {
  if (TooShort(run, line)) return false;
  std::string domain = GreetingDomain(line);
  return StoreGreeting(run, "HELO " + domain + "\r\n", domain) && SendReply(run, "250-vesk\r\n250 PIPELINING\r\n");
}

bool HandleMail(SessionRun& run, const std::string& line) {
  // After a committed message, MAIL begins the next one in a file of its own.
  if (!run.fileOurs && !StartNextMessage(run)) {
    if (!run.fileOurs) (void)SendReply(run, "421 4.3.0 Cannot store mail now\r\n");  // ends the session
    return false;
  }
  if (!AppendOrFault(run, line)) return false;
  run.transactionOpen = true;
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    size_t end = line.find_first_of("\r\n", colon + 1);
    run.session.summary.sender = line.substr(colon + 1, end == std::string::npos ? end : end - colon - 1);
  }
  return SendReply(run, kOk);
}

bool HandleRcpt(SessionRun& run, const std::string& line) {
  if (!AppendOrFault(run, line)) return false;
  ++run.session.summary.recipientCount;
  run.session.summary.size = SpoolLength(run);
  return SendReply(run, kOk);
}

bool HandleRset(SessionRun& run, const std::string&) {
  if (run.transactionOpen && !RollBackMessage(run)) return false;
  run.transactionOpen = false;
  if (run.state != Greeted) run.state = HeloDone;
  return SendReply(run, kOk);
}

bool HandleQuit(SessionRun& run, const std::string&) {
  // Whatever was committed is safe; an unfinished message goes with the session's end.
  (void)SendReply(run, "221 Ok\r\n");  // the connection closes either way
  return true;
}

}  // namespace vellomar
