#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/relay_event.h"
#include "platform/error_or.h"
#include "platform/wake_event.h"
#include "relay/status_file.h"

namespace vellomar {

// The relay's side of its status file (status_file.h): what its threads report, per account
// and of the spool, gathered as it happens, and the file replaced by the relay's status
// keeper when what it says has changed.
//
// Lock contract: one lock over the record, held for an update or a copy only; the file is
// written from a copy, outside it. No other lock is taken under it.
class StatusBoard {
 public:
  StatusBoard(std::string path, StopFlag& stop) : path_(std::move(path)), changed_(stop) {}

  void Begin(int64_t pid, int64_t started);
  // What the event says of its account (its last success or failure, a sign-in or login to
  // mend) or of the spool, at `now`; wakes the keeper.
  void Record(const RelayEvent& event, int64_t now);
  // The sign-ins were read again: whether each still needs making is known at its next use.
  void ClearSignIns();
  RelayStatusFile Snapshot() const;

  // Waits at most `timeout` for a change; true when one woke it.
  bool WaitForChange(std::chrono::milliseconds timeout) { return changed_.WaitFor(timeout); }
  // Replaces the file with `status` unless the file says that already. The file is readable by
  // its owner only; it is not synced, since a status lost in a crash is written again at the
  // next start. Used by one thread.
  Status Write(const RelayStatusFile& status);

 private:
  const std::string path_;
  mutable std::mutex lock_;
  RelayStatusFile record_;
  WakeEvent changed_;
  std::string written_;
};

}  // namespace vellomar
