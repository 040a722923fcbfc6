#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/local_clock.h"
#include "platform/file_system.h"
#include "spool/retry_schedule.h"

namespace vellomar {

// One taken spool file name. A name reserved by a reception session that is still writing
// its file is marked as such, so that clearing the list never hands that file to delivery.
// A name taken when a Flush was given carries the flush mark: its file goes when it is
// released, and only then.
struct QueueEntry {
  std::string name;
  bool reservation = false;
  bool flushed = false;
};

// The spool file names of one spool folder that are taken: reserved by a reception session,
// handed to a delivery worker, or held back after a delayed delivery. A ".tml" file in the
// folder whose name is not listed is waiting for delivery. Entries run newest first; a hashed
// index on the case-folded name answers Contains at once, so that a run over n files costs
// about n, not n squared. TakeNextFile lists the folder once and walks that listing, listing
// again only when it is used up and a name has been released since.
//
// A file whose next try time has not come (see RetrySchedule) is passed over as if taken, and
// passing over it does not make the folder be listed again.
//
// Lock contract: every operation takes the list's own lock for its whole length, including
// the directory searches and deletions made inside it; the lock is never held when an
// operation returns, and no other lock is taken under it. `flushRequested()` is set exactly
// while some entry carries the flush mark.
class QueueList {
 public:
  // `directory` is the spool folder; `clock` gives the local time that names are made of
  // (empty: the system clock).
  explicit QueueList(std::string directory, LocalTimeSource clock = nullptr);
  QueueList(const QueueList&) = delete;
  QueueList& operator=(const QueueList&) = delete;

  const std::string& directory() const { return directory_; }
  // The folder, a slash and the name.
  std::string PathOf(const std::string& name) const { return directory_ + "/" + name; }

  // A name ("953.tml", "953_0.tml", ...) that is neither listed nor present in the spool
  // directory, with or without its extension; with `reserve`, listed as a reservation.
  std::string NewSpoolName(bool reserve);
  // False only when the entry cannot be allocated.
  bool Add(const std::string& name);
  // Letter case ignored.
  bool Contains(const std::string& name) const;
  // Exact comparison: only the first entry when it matches, else every later match. False
  // when the list was empty, true otherwise.
  bool Remove(const std::string& name);
  // Takes a waiting regular ".tml" file that is due: lists it and returns its name. False
  // when none.
  bool TakeNextFile(std::string& name);
  // The next TakeNextFile lists the folder again: the start of a run, which must also see
  // files put there by anyone else.
  void Rescan();
  // Deletes the file if asked, then removes the name; true when both went well. A name
  // carrying the flush mark has its file deleted whatever is asked.
  bool Discard(const std::string& name, bool deleteFile);
  // Drops every entry but the reservations of running receptions, deleting the dropped
  // entries' files if asked (and always those with the flush mark). A file that cannot be
  // deleted loses its entry all the same.
  void Clear(bool deleteFiles);
  // As Clear(false), but only for the names held after a try whose retry time has come, and
  // never for a name in `delivering` (files whose workers still run).
  void ReleaseDue(const std::vector<std::string>& delivering);

  // A Flush: every waiting file is deleted now, and every taken name but a reservation gets
  // the flush mark (its file goes when its worker or the next clearing lets it go). Files
  // stored afterwards are not touched. False when a waiting file could not be deleted.
  bool Flush();
  // What became of a deletion the user asked for.
  enum class Deletion { Deleted, Gone, Refused };
  // One file deleted by the user, and only the very file `shown` identifies (read with the
  // row the user saw; names are times of day, so a newer message may have taken the name):
  // at once when it waits, when its name is let go when it is taken (as by a Flush). Gone
  // when the name holds no file or another one; Refused when it is a reception's
  // reservation or could not be deleted.
  Deletion DeleteWaitingFile(const std::string& name, const FileIdentity& shown);
  // Letter case ignored: the name is reserved by a reception still writing its file.
  bool IsReservation(const std::string& name) const;
  // Letter case ignored: the name is taken and carries the flush mark.
  bool IsFlushed(const std::string& name) const;
  // A Flush was given while this file was taken: it is to be deleted, not delivered. Takes
  // the lock only while some flush is pending.
  bool FlushedWhileTaken(const std::string& name) const;
  bool flushRequested() const { return flushRequested_.load(); }

  size_t size() const;

  // What delivery tells the retry schedule, and what the views ask of it; each under the
  // list's lock, like the list itself.
  void NoteError(const std::string& name, const std::string& recipient, const std::string& error);
  std::string LastError(const std::string& name, const std::string& recipient) const;
  void RecordTry(const std::string& name);
  void WaitUntil(const std::string& name, RetrySchedule::TimePoint point);
  void NotBefore(const std::string& name, RetrySchedule::TimePoint point);
  void MakeAllDue();
  void MakeDue(const std::string& name);
  RetrySchedule::TimePoint FirstSeen(const std::string& name);
  std::optional<RetrySchedule::FileRecord> ScheduleOf(const std::string& name) const;
  RetrySchedule::TimePoint ScheduleNow() const;
  // The wall time a point of the schedule stands for, as the two clocks stand now.
  RetrySchedule::WallTime ScheduleWallTimeOf(RetrySchedule::TimePoint point) const;
  RetrySchedule::WallTime ScheduleWallNow() const;
  // How long until the first file that waits for its time is due; none when no file waits so.
  std::optional<std::chrono::milliseconds> UntilNextTry() const;
  // The files not yet due, by folded name, with the wall time of their next try.
  std::map<std::string, RetrySchedule::WallTime> NotDue() const;
  void SetScheduleClock(RetrySchedule::Clock clock);
  void SetScheduleWallClock(RetrySchedule::WallClock clock);

 private:
  using Entries = std::list<QueueEntry>;

  bool AddEntry(const std::string& name, bool reservation);
  void Erase(Entries::iterator entry);
  bool ContainsLocked(const std::string& name) const;
  bool IsFlushedLocked(const std::string& name) const;
  // Removes every listed name exactly equal; true when one carried the flush mark.
  bool RemoveExact(const std::string& name);
  bool NameIsTaken(const std::string& fileName, const std::string& stem) const;
  bool WaitingAt(const std::string& candidate, bool dueOnly) const;
  bool TakeWaiting(std::string& name, bool dueOnly);

  const std::string directory_;
  const LocalTimeSource clock_;
  mutable std::mutex lock_;
  Entries entries_;
  std::unordered_multimap<std::string, Entries::iterator> index_;
  size_t flushedCount_ = 0;
  std::atomic<bool> flushRequested_{false};
  // The folder as last listed, and how far TakeNextFile got in it.
  std::vector<std::string> listing_;
  size_t cursor_ = 0;
  // Counts names released with their file kept (waiting again); the listing is current
  // while listedAt_ equals it.
  uint64_t releases_ = 0;
  uint64_t listedAt_ = UINT64_MAX;
  RetrySchedule schedule_;
};

}  // namespace vellomar
