#include "spool/queue_list.h"

#include <algorithm>

#include <new>

#include "common/text.h"
#include "platform/file_system.h"
#include "platform/local_clock.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

// The index key: the name with its letters folded as EqualsIgnoreCase compares them.
std::string Folded(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = ToUpperAscii(c);
  return key;
}

}  // namespace

QueueList::QueueList(std::string directory, LocalTimeSource clock)
    : directory_(std::move(directory)), clock_(std::move(clock)) {}

bool QueueList::NameIsTaken(const std::string& fileName, const std::string& stem) const {
  // A file named by the stem alone is a failure notice being written; it will take the
  // full name when it is complete.
  return ContainsLocked(fileName) || EntryExists(PathOf(fileName)) || EntryExists(PathOf(stem));
}

std::string QueueList::NewSpoolName(bool reserve) {
  std::tm now = clock_ ? clock_() : LocalNow();
  std::lock_guard<std::mutex> guard(lock_);
  std::string stem = std::to_string(now.tm_hour) + std::to_string(now.tm_min) + std::to_string(now.tm_sec);
  std::string candidate = stem;
  for (long n = 0; NameIsTaken(candidate + std::string(kSpoolExtension), candidate); ++n) {
    candidate = stem + "_" + std::to_string(n);
  }
  std::string name = candidate + std::string(kSpoolExtension);
  if (reserve) AddEntry(name, true);
  return name;
}

bool QueueList::AddEntry(const std::string& name, bool reservation) {
  try {
    entries_.push_front(QueueEntry{name, reservation, false});
    try {
      index_.emplace(Folded(name), entries_.begin());
    } catch (const std::bad_alloc&) {
      entries_.pop_front();
      return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool QueueList::Add(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return AddEntry(name, false);
}

bool QueueList::Contains(const std::string& name) const {
  std::lock_guard<std::mutex> guard(lock_);
  return ContainsLocked(name);
}

bool QueueList::ContainsLocked(const std::string& name) const { return index_.count(Folded(name)) != 0; }

void QueueList::Erase(Entries::iterator entry) {
  auto [first, last] = index_.equal_range(Folded(entry->name));
  for (auto it = first; it != last; ++it) {
    if (it->second == entry) {
      index_.erase(it);
      break;
    }
  }
  if (entry->flushed && --flushedCount_ == 0) flushRequested_ = false;
  entries_.erase(entry);
}

bool QueueList::RemoveExact(const std::string& name) {
  bool flushed = false;
  if (entries_.front().name == name) {
    flushed = entries_.front().flushed;
    Erase(entries_.begin());
    return flushed;
  }
  auto [first, last] = index_.equal_range(Folded(name));
  std::vector<Entries::iterator> matches;
  for (auto it = first; it != last; ++it) {
    if (it->second->name == name) matches.push_back(it->second);
  }
  for (Entries::iterator entry : matches) {
    flushed = flushed || entry->flushed;
    Erase(entry);
  }
  return flushed;
}

bool QueueList::Remove(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (entries_.empty()) return false;
  RemoveExact(name);
  ++releases_;
  return true;
}

// A name not taken, due, with the extension, naming a regular file. A folder (or anything else)
// that happens to carry the extension is no spool file.
bool QueueList::WaitingAt(const std::string& candidate, bool dueOnly) const {
  return HasSpoolExtension(candidate) && !ContainsLocked(candidate) && (!dueOnly || schedule_.IsDue(candidate)) &&
         KindOf(PathOf(candidate)) == EntryKind::Regular;
}

bool QueueList::TakeNextFile(std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return TakeWaiting(name, true);
}

bool QueueList::TakeWaiting(std::string& name, bool dueOnly) {
  name.clear();
  for (;;) {
    // A file gone since the listing (a worker just delivered it) is passed over: ending the
    // search there would leave the files after it waiting for the next timer tick.
    while (cursor_ < listing_.size()) {
      const std::string& candidate = listing_[cursor_++];
      if (!WaitingAt(candidate, dueOnly)) continue;
      if (!AddEntry(candidate, false)) return false;
      name = candidate;
      return true;
    }
    if (listedAt_ == releases_) return false;
    auto listing = ListDirectory(directory_);
    if (!listing) return false;
    listing_ = std::move(listing.value());
    cursor_ = 0;
    listedAt_ = releases_;
  }
}

void QueueList::Rescan() {
  std::lock_guard<std::mutex> guard(lock_);
  listedAt_ = UINT64_MAX;
}

bool QueueList::Discard(const std::string& name, bool deleteFile) {
  std::lock_guard<std::mutex> guard(lock_);
  bool deleting = deleteFile || IsFlushedLocked(name);
  bool ok = !deleting || RemoveFile(PathOf(name)).ok();
  if (deleting && ok) schedule_.Forget(name);
  if (entries_.empty()) return false;
  RemoveExact(name);
  // A name let go with its file still there makes that file wait again.
  if (!deleting || !ok) ++releases_;
  return ok;
}

void QueueList::Clear(bool deleteFiles) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    auto next = std::next(entry);
    if (!entry->reservation) {
      // A file that cannot be deleted stays waiting and is taken again, as after Discard.
      if ((deleteFiles || entry->flushed) && RemoveFile(PathOf(entry->name))) schedule_.Forget(entry->name);
      Erase(entry);
    }
    entry = next;
  }
  ++releases_;
}

void QueueList::ReleaseDue(const std::vector<std::string>& delivering) {
  std::lock_guard<std::mutex> guard(lock_);
  bool released = false;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    auto next = std::next(entry);
    bool busy = std::find(delivering.begin(), delivering.end(), entry->name) != delivering.end();
    if (!entry->reservation && !busy && schedule_.Find(entry->name) && schedule_.IsDue(entry->name)) {
      if (entry->flushed && RemoveFile(PathOf(entry->name))) schedule_.Forget(entry->name);
      Erase(entry);
      released = true;
    }
    entry = next;
  }
  if (released) ++releases_;
}

bool QueueList::Flush() {
  std::lock_guard<std::mutex> guard(lock_);
  for (QueueEntry& entry : entries_) {
    if (entry.reservation || entry.flushed) continue;
    entry.flushed = true;
    ++flushedCount_;
  }
  if (flushedCount_ != 0) flushRequested_ = true;
  bool ok = true;
  listedAt_ = UINT64_MAX;
  // Every waiting file goes, due or not.
  for (std::string name; TakeWaiting(name, false);) {
    bool removed = RemoveFile(PathOf(name)).ok();
    if (removed) schedule_.Forget(name);
    ok = removed && ok;
    RemoveExact(name);
  }
  // A file that could not be deleted waits on; the next listing finds it.
  if (!ok) ++releases_;
  return ok;
}

QueueList::Deletion QueueList::DeleteWaitingFile(const std::string& name, const FileIdentity& shown) {
  std::lock_guard<std::mutex> guard(lock_);
  auto there = IdentityAt(PathOf(name));
  if (!there || !(there.value() == shown)) return Deletion::Gone;
  auto [first, last] = index_.equal_range(Folded(name));
  if (first == last) {
    if (!RemoveFile(PathOf(name))) return Deletion::Refused;
    schedule_.Forget(name);
    return Deletion::Deleted;
  }
  for (auto it = first; it != last; ++it) {
    QueueEntry& entry = *it->second;
    if (entry.reservation) return Deletion::Refused;
    if (entry.flushed) continue;
    entry.flushed = true;
    ++flushedCount_;
  }
  flushRequested_ = true;
  return Deletion::Deleted;
}

bool QueueList::IsReservation(const std::string& name) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto [first, last] = index_.equal_range(Folded(name));
  for (auto it = first; it != last; ++it) {
    if (it->second->reservation) return true;
  }
  return false;
}

bool QueueList::IsFlushed(const std::string& name) const {
  std::lock_guard<std::mutex> guard(lock_);
  return IsFlushedLocked(name);
}

bool QueueList::FlushedWhileTaken(const std::string& name) const {
  if (!flushRequested_.load()) return false;
  return IsFlushed(name);
}

size_t QueueList::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

bool QueueList::IsFlushedLocked(const std::string& name) const {
  auto [first, last] = index_.equal_range(Folded(name));
  for (auto it = first; it != last; ++it) {
    if (it->second->flushed) return true;
  }
  return false;
}

void QueueList::NoteError(const std::string& name, const std::string& recipient, const std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.NoteError(name, recipient, error);
}

std::string QueueList::LastError(const std::string& name, const std::string& recipient) const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.LastError(name, recipient);
}

void QueueList::RecordTry(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.RecordTry(name);
}

void QueueList::WaitUntil(const std::string& name, RetrySchedule::TimePoint point) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.WaitUntil(name, point);
}

void QueueList::NotBefore(const std::string& name, RetrySchedule::TimePoint point) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.NotBefore(name, point);
}

void QueueList::MakeAllDue() {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.MakeAllDue();
}

void QueueList::MakeDue(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.MakeDue(name);
}

RetrySchedule::TimePoint QueueList::FirstSeen(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.FirstSeen(name);
}

std::optional<RetrySchedule::FileRecord> QueueList::ScheduleOf(const std::string& name) const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.Find(name);
}

RetrySchedule::TimePoint QueueList::ScheduleNow() const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.Now();
}

std::optional<std::chrono::milliseconds> QueueList::UntilNextTry() const {
  std::lock_guard<std::mutex> guard(lock_);
  auto earliest = schedule_.EarliestPending();
  if (!earliest) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(*earliest - schedule_.Now());
}

std::map<std::string, RetrySchedule::WallTime> QueueList::NotDue() const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.NotDue();
}

RetrySchedule::WallTime QueueList::ScheduleWallTimeOf(RetrySchedule::TimePoint point) const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.WallTimeOf(point);
}

RetrySchedule::WallTime QueueList::ScheduleWallNow() const {
  std::lock_guard<std::mutex> guard(lock_);
  return schedule_.WallNow();
}

void QueueList::SetScheduleWallClock(RetrySchedule::WallClock clock) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.SetWallClock(std::move(clock));
}

void QueueList::SetScheduleClock(RetrySchedule::Clock clock) {
  std::lock_guard<std::mutex> guard(lock_);
  schedule_.SetClock(std::move(clock));
}

}  // namespace vellomar
