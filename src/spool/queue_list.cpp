#include "spool/queue_list.h"

#include <iterator>
#include <new>

#include "common/app_directory.h"
#include "common/text.h"
#include "platform/file_system.h"
#include "platform/local_clock.h"

namespace vellomar {

namespace {

const std::string kExtension = ".tml";

bool IsSpoolFileName(const std::string& name) {
  return name.size() >= kExtension.size() &&
         EqualsIgnoreCase(std::string_view(name).substr(name.size() - kExtension.size()), kExtension);
}

}  // namespace

bool QueueList::NameIsTaken(const std::string& fileName, const std::string& stem) const {
  // A file named by the stem alone is a failure notice being written; it will take the
  // full name when it is complete.
  return Contains(fileName) || EntryExists(AppFilePath(fileName)) || EntryExists(AppFilePath(stem));
}

std::string QueueList::NewSpoolName(bool reserve) {
  std::tm now = LocalNow();
  std::string stem = std::to_string(now.tm_hour) + std::to_string(now.tm_min) + std::to_string(now.tm_sec);
  std::string candidate = stem;
  for (long n = 0; NameIsTaken(candidate + kExtension, candidate); ++n) {
    candidate = stem + "_" + std::to_string(n);
  }
  std::string name = candidate + kExtension;
  if (reserve) AddEntry(name, true);
  return name;
}

bool QueueList::AddEntry(const std::string& name, bool reservation) {
  try {
    entries_.push_front(QueueEntry{name, reservation});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool QueueList::Add(const std::string& name) { return AddEntry(name, false); }

bool QueueList::Contains(const std::string& name) const {
  for (const QueueEntry& entry : entries_) {
    if (EqualsIgnoreCase(entry.name, name)) return true;
  }
  return false;
}

bool QueueList::Remove(const std::string& name) {
  if (entries_.empty()) return false;
  if (entries_.front().name == name) {
    entries_.pop_front();
    return true;
  }
  entries_.remove_if([&name](const QueueEntry& entry) { return entry.name == name; });
  return true;
}

bool QueueList::TakeNextFile(std::string& name) {
  name.clear();
  auto listing = ListDirectory(GetAppDirectory());
  if (!listing) return false;
  for (const std::string& candidate : listing.value()) {
    if (!IsSpoolFileName(candidate) || Contains(candidate)) continue;
    // A folder (or anything else) that happens to carry the extension is no spool file. A
    // file gone since the listing (a worker just delivered it) is passed over: ending the
    // search there would leave the files after it waiting for the next timer tick.
    if (KindOf(AppFilePath(candidate)) != EntryKind::Regular) continue;
    if (!Add(candidate)) return false;
    name = candidate;
    return true;
  }
  return false;
}

bool QueueList::Discard(const std::string& name, bool deleteFile) {
  bool ok = true;
  if (deleteFile) ok = RemoveFile(AppFilePath(name)).ok();
  bool removed = Remove(name);
  return ok && removed;
}

void QueueList::Clear(bool deleteFiles) {
  entries_.remove_if([deleteFiles](const QueueEntry& entry) {
    if (entry.reservation) return false;
    // A file that cannot be deleted stays waiting and is taken again, as after Discard.
    if (deleteFiles) (void)RemoveFile(AppFilePath(entry.name));
    return true;
  });
}

size_t QueueList::size() const { return static_cast<size_t>(std::distance(entries_.begin(), entries_.end())); }

}  // namespace vellomar
