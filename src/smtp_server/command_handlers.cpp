// HELO, MAIL, RCPT and QUIT: each stores its line as received and answers.
#include "smtp_server/server_session.h"

namespace vellomar {

namespace {
constexpr std::string_view kOk = "250 Ok\r\n";
}

bool HandleHelo(SessionRun& run, const std::string& line) {
  if (line.size() < 8) {
    SendReply(run, "501 HELO requires domain address\n");
    return false;
  }
  // The word and its blank in front, the line end behind.
  run.session.heloDomain = line.substr(5, line.size() - 7);
  if (!AppendToSpool(run, line)) return false;
  run.session.summary.size = SpoolLength(run);
  return SendReply(run, kOk);
}

bool HandleMail(SessionRun& run, const std::string& line) {
  if (!AppendToSpool(run, line)) return false;
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    size_t end = line.find_first_of("\r\n", colon + 1);
    run.session.summary.sender = line.substr(colon + 1, end == std::string::npos ? end : end - colon - 1);
  }
  return SendReply(run, kOk);
}

bool HandleRcpt(SessionRun& run, const std::string& line) {
  if (!AppendToSpool(run, line)) return false;
  ++run.session.summary.recipientCount;
  run.session.summary.size = SpoolLength(run);
  return SendReply(run, kOk);
}

bool HandleQuit(SessionRun& run, const std::string& line) {
  // The message itself was on disk before it was acknowledged; the QUIT line only closes
  // the stored dialogue, so a failure here does not undo it.
  AppendToSpool(run, line);
  run.session.summary.size = SpoolLength(run);
  SendReply(run, "221 Ok\r\n");
  return true;
}

}  // namespace vellomar
