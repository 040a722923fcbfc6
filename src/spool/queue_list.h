#pragma once

#include <forward_list>
#include <mutex>
#include <string>

namespace vellomar {

// One taken spool file name. A name reserved by a reception session that is still writing
// its file is marked as such, so that clearing the list never hands that file to delivery.
struct QueueEntry {
  std::string name;
  bool reservation = false;
};

// The spool file names that are taken: reserved by a reception session, handed to a
// delivery worker, or held back after a delayed delivery. A ".tml" file in the application
// directory whose name is not listed is waiting for delivery. Entries run newest first.
//
// Lock contract: no operation takes `QueueLock`; the caller holds it around every call,
// including the directory searches and deletions made inside it.
class QueueList {
 public:
  std::mutex QueueLock;

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
  // Takes a waiting regular ".tml" file: lists it and returns its name. False when none.
  bool TakeNextFile(std::string& name);
  // Deletes the file if asked, then removes the name; true when both went well.
  bool Discard(const std::string& name, bool deleteFile);
  // Drops every entry but the reservations of running receptions, deleting the dropped
  // entries' files if asked. A file that cannot be deleted loses its entry all the same.
  void Clear(bool deleteFiles);

  size_t size() const;

 private:
  bool AddEntry(const std::string& name, bool reservation);
  bool NameIsTaken(const std::string& fileName, const std::string& stem) const;

  std::forward_list<QueueEntry> entries_;
};

}  // namespace vellomar
