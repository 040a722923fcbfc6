#pragma once

#include <optional>
#include <string>
#include <vector>

#include "delivery/transport.h"

namespace vellomar {

class RelayServices;
class SpoolFile;
struct Settings;

// The one place where what became of a message's recipients is recorded, whatever transport
// carried them: their state letters in the spool file, the failure notices, the last errors
// kept for the waiting view, the log's Logrec, Logabo and Logdel lines, and the sentAll and
// sentOk counters. A recipient refused for good is finished only once its sender's notice is
// queued; a deferral advances its letter, and the sixth gives it up. The letters of recipients
// settled together are written first and synced once, before anything more goes out, and
// only then counted as sent. Used by one worker, for one spool file.
class OutcomeRecorder {
 public:
  OutcomeRecorder(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName);

  // A hop is about to be tried for them: "Sending mail to <address>" under Logrec.
  void Attempting(const std::vector<PendingRecipient>& recipients);
  // Their transport reached its server: each counts in sentAll.
  void Reached(size_t count);
  // Records one outcome of all of them. False when a letter could not be written: that is
  // logged, the file reports WriteFailed, and the worker holds it as it is.
  bool Record(const std::vector<PendingRecipient>& recipients, const RecipientOutcome& outcome);

  // Once a letter was written: whether the line after the last one is another pending
  // recipient (the file is left just after that letter's line), false when it could not be
  // written. None while no letter was.
  std::optional<bool> nextPending() const { return nextPending_; }

 private:
  struct Letter {
    off_t position;
    char letter;
  };
  char LetterFor(const PendingRecipient& recipient, const RecipientOutcome& outcome);
  bool Write(const std::vector<Letter>& letters);

  RelayServices& relay_;
  const Settings& settings_;
  SpoolFile& file_;
  const std::string& spoolName_;
  std::optional<bool> nextPending_;
};

}  // namespace vellomar
