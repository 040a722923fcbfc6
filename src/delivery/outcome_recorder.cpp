#include "delivery/outcome_recorder.h"

#include <string_view>

#include "common/settings.h"
#include "common/system_error.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/failure_notice.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"

namespace vellomar {

namespace {

using Kind = RecipientOutcome::Kind;

// A stored QUIT line was answered: the recipient's dialogue went to its end.
bool QuitAnswered(const std::string& line) { return line.size() > 3 && StartsWithIgnoreCase(line, "QUIT"); }

}  // namespace

OutcomeRecorder::OutcomeRecorder(RelayServices& relay, const Settings& settings, SpoolFile& file,
                                 const std::string& spoolName)
    : relay_(relay), settings_(settings), file_(file), spoolName_(spoolName) {}

void OutcomeRecorder::Attempting(const std::vector<PendingRecipient>& recipients) {
  if (!settings_.Logrec) return;
  for (const PendingRecipient& r : recipients) relay_.AppendLog("Sending mail to " + RecipientAddress(r.line));
}

void OutcomeRecorder::Reached(size_t count) { relay_.counters.sentAll += static_cast<uint32_t>(count); }

bool OutcomeRecorder::Record(const std::vector<PendingRecipient>& recipients, const RecipientOutcome& outcome) {
  if (outcome.kind == Kind::NotReached) {
    if (!outcome.log.empty()) relay_.AppendLog(outcome.log);
    if (outcome.reason.empty()) return true;
    for (const PendingRecipient& r : recipients) NoteDeliveryError(relay_, spoolName_, r.line, outcome.reason);
    return true;
  }
  std::vector<Letter> letters;
  uint32_t sent = 0;
  for (const PendingRecipient& r : recipients) {
    char letter = LetterFor(r, outcome);
    if (letter == '\0') continue;
    letters.push_back(Letter{r.position, letter});
    if (letter == 'X' && (outcome.kind == Kind::Delivered || QuitAnswered(outcome.answered))) ++sent;
  }
  if (!Write(letters)) return false;
  if (outcome.kind == Kind::Deferred && outcome.retryAfter.count() > 0) {
    QueueList& queue = relay_.queue;
    queue.NotBefore(spoolName_, queue.ScheduleNow() + outcome.retryAfter);
  }
  relay_.counters.sentOk += sent;
  if (outcome.kind == Kind::Delivered) NoteDelivered(relay_, spoolName_);
  return true;
}

// The letter the recipient gets, its log line and notice done first; none while it must stay
// as it is.
char OutcomeRecorder::LetterFor(const PendingRecipient& r, const RecipientOutcome& outcome) {
  const std::string address = RecipientAddress(r.line);
  switch (outcome.kind) {
    case Kind::Delivered:
      return 'X';
    case Kind::Refused:
      if (!outcome.reply.empty() && settings_.Logabo) {
        relay_.AppendLog("Sending to " + address + " aborted (5xx STMP error)");
      }
      break;
    case Kind::Deferred:
      if (outcome.reply.rfind('4', 0) == 0 && settings_.Logdel) {
        relay_.AppendLog("Sending to " + address + " delayed (4xx STMP error)");
      }
      NoteDeliveryError(relay_, spoolName_, r.line, outcome.reason);
      if (!IsLastDeferral(r.line)) return static_cast<char>(r.line[0] + 1);
      break;  // the sixth is given up
    case Kind::NotReached:
      return '\0';
  }
  // Finished only once its sender's notice is safely queued; otherwise the next run tries again.
  return SendFailureNotice(relay_, spoolName_, outcome.reason, r.line) ? 'X' : '\0';
}

// One sync for all the letters: the last one's rewrite syncs the file with those before it.
bool OutcomeRecorder::Write(const std::vector<Letter>& letters) {
  if (letters.empty()) return true;
  Status written = Ok();
  for (size_t i = 0; written && i + 1 < letters.size(); ++i) {
    written = file_.Seek(letters[i].position);
    if (written) written = file_.Write(std::string_view(&letters[i].letter, 1));
  }
  ErrorOr<bool> next = written ? RewriteStateLetter(file_, letters.back().position, letters.back().letter)
                               : ErrorOr<bool>::Fail(written.failure());
  nextPending_ = next && next.value();
  if (next) return true;
  relay_.AppendLog("Error : can't record a recipient's state in " + spoolName_ + ": " +
                   SystemErrorText(next.failure()));
  return false;
}

}  // namespace vellomar
