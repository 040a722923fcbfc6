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
// every file is tried. Time comes from an injectable clock, so tests need not sleep.
//
// Lock contract: owned by the QueueList and used under QueueLock, like the list itself; no
// operation takes a lock.
class RetrySchedule {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  using Clock = std::function<TimePoint()>;

  // What is known of one file. Recipients are keyed by their address text.
  struct FileRecord {
    int tries = 0;
    TimePoint firstSeen{};
    TimePoint nextTry{};
    std::map<std::string, std::string> lastErrors;
  };

  // The wait after the n-th try (n from 1): 1, 2, 4 ... minutes, capped at 60.
  static std::chrono::minutes Interval(int tries);

  void SetClock(Clock clock) { clock_ = std::move(clock); }
  TimePoint Now() const { return clock_ ? clock_() : std::chrono::system_clock::now(); }

  bool IsDue(const std::string& name) const;
  // A try left recipients pending: the next one waits the grown interval.
  void RecordTry(const std::string& name);
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

 private:
  FileRecord& RecordOf(const std::string& name);

  Clock clock_;
  // Keyed by the folded name, as the queue list compares names.
  std::map<std::string, FileRecord> files_;
};

}  // namespace vellomar
