#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// Keeps each account's sending within its provider's limits (Exchange Online takes 30
// messages a minute and 10,000 recipients a day, say): mail over a limit waits until the
// rolling window has room. The counts live in a small state file, so that a restart does not
// hand the provider a fresh burst; an unreadable or damaged file starts the counts afresh.
//
// Lock contract: one lock over the counts, held for a whole Take, the state file's write
// included (a few kilobytes); no other lock is taken under it.
class Pacer {
 public:
  using WallTime = std::chrono::system_clock::time_point;
  // 0: no limit.
  struct Limits {
    int32_t messagesPerMinute = 0;
    int32_t recipientsPerDay = 0;
  };

  // `stateFile`: path of the state file (it may not exist yet), loaded here. Empty: the counts
  // are kept in memory only.
  explicit Pacer(std::string stateFile);

  // One message of `recipients` recipients for `account` ("" = the default account) at `now`:
  // counted, and nothing returned, when the limits allow it now; otherwise nothing is counted
  // and the result is the earliest time at which they will allow it.
  std::optional<WallTime> Take(const std::string& account, const Limits& limits, int recipients, WallTime now);

  // What Take would say now, counting nothing: for a view of the queue from outside the relay.
  std::optional<WallTime> PacedUntil(const std::string& account, const Limits& limits, int recipients,
                                     WallTime now) const;

  // What an account has used of its limits at `now`: messages in the last minute and
  // recipients in the last day, as the rolling windows count them.
  struct Used {
    int64_t messagesLastMinute = 0;
    int64_t recipientsLastDay = 0;
  };
  Used UsedAt(const std::string& account, WallTime now) const;

  // How the last write of the state file went (Ok before any): a failed write leaves the
  // counts in memory right, and only a restart would forget them.
  Status LastSave() const;

 private:
  // Milliseconds since the epoch throughout, as in the file.
  struct Counts {
    // When each message of the last minute went, oldest first; at most messagesPerMinute.
    std::deque<int64_t> messages;
    // Recipients per minute of the last day, by the minute's start: a day's minutes at most
    // (1441, as the oldest counts until its minute's end has aged a day).
    std::map<int64_t, int64_t> recipients;
  };

  static void Prune(Counts& counts, int64_t now);
  static std::optional<int64_t> MessagesFreeAt(const Counts& counts, const Limits& limits);
  static std::optional<int64_t> RecipientsFreeAt(const Counts& counts, const Limits& limits, int64_t recipients);
  void Load();
  void Save(int64_t now);

  const std::string stateFile_;
  mutable std::mutex lock_;
  std::map<std::string, Counts> accounts_;
  Status lastSave_ = Ok();
};

struct Settings;

// Where a relay keeps its accounts' counts, in its application directory.
inline constexpr const char* kPacingFile = "pacing.json";

// An account's limits as its settings give them (`MaxPerMinute`, `MaxRecipientsPerDay`).
Pacer::Limits PaceOf(const Settings& settings);

// "paced until 14:05": when paced mail goes, to the minute (rounded up) in local time.
std::string PacedText(Pacer::WallTime until);

}  // namespace vellomar
