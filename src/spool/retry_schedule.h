#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vellomar {

// When a waiting spool file may be tried again, and what went wrong with its recipients, as
// far as this run of the program knows. A file that left recipients pending is not taken again
// before its next try time: about a minute after the first try, doubling with each try, at
// most an hour apart. A file the schedule does not know is due at once, so after a restart
// every file is tried. Due times run on a monotonic clock, so that a wall clock stepped back
// never delays a retry; the wall clock only places them for the eye. Both clocks can be
// injected, so tests need not sleep.
//
// Lock contract: owned by the QueueList and used under QueueLock, like the list itself; no
// operation takes a lock.
class RetrySchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;
  using WallTime = std::chrono::system_clock::time_point;
  using WallClock = std::function<WallTime()>;

  // What is known of one file. Recipients are keyed by their address text.
  struct FileRecord {
    int tries = 0;
    TimePoint firstSeen{};
    TimePoint nextTry{};
    // The service asked not to be tried before this (a Retry-After): no try's interval ends
    // sooner.
    TimePoint notBefore{};
    std::map<std::string, std::string> lastErrors;
  };

  // The wait after the n-th try (n from 1): 1, 2, 4 ... minutes, capped at 60.
  static std::chrono::minutes Interval(int tries);

  void SetClock(Clock clock) { clock_ = std::move(clock); }
  void SetWallClock(WallClock clock) { wallClock_ = std::move(clock); }
  TimePoint Now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
  WallTime WallNow() const { return wallClock_ ? wallClock_() : std::chrono::system_clock::now(); }
  // The wall time a point of the schedule stands for, as the two clocks stand now.
  WallTime WallTimeOf(TimePoint point) const;

  bool IsDue(const std::string& name) const;
  // A try left recipients pending: the next one waits the grown interval.
  void RecordTry(const std::string& name);
  // Held back by something other than a failure (a pace to keep): not due before `point`,
  // its tries not counted.
  void WaitUntil(const std::string& name, TimePoint point);
  // The service that answered asked for no try before `point` (its Retry-After): the next
  // try, and the interval the try being recorded sets, wait at least until then.
  void NotBefore(const std::string& name, TimePoint point);
  // Deliver now: every known file is due at once.
  void MakeAllDue();
  void MakeDue(const std::string& name);
  // The file is gone (delivered, given up, deleted): nothing of it is kept.
  void Forget(const std::string& name);
  // When this run of the program first met the file; noted now when it is met first.
  TimePoint FirstSeen(const std::string& name);
  void NoteError(const std::string& name, const std::string& recipient, const std::string& error);
  // "" when nothing went wrong yet (or it happened before a restart).
  std::string LastError(const std::string& name, const std::string& recipient) const;
  std::optional<FileRecord> Find(const std::string& name) const;
  // The earliest next try of a file that is not yet due; none when no file waits for its time.
  std::optional<TimePoint> EarliestPending() const;
  // Every file not yet due, by its folded name (upper case), with the wall time of its next try.
  std::map<std::string, WallTime> NotDue() const;

 private:
  FileRecord& RecordOf(const std::string& name);

  Clock clock_;
  WallClock wallClock_;
  // Keyed by the folded name, as the queue list compares names.
  std::map<std::string, FileRecord> files_;
};

}  // namespace vellomar
