#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/thread_handle.h"

namespace vellomar {

class RelayServices;

// Takes in what local programs hand over through vellomar-sendmail: complete files in the
// relay's drop folder (spool/drop_file.h), each stored as a spool file like a message
// received over SMTP, then deleted. The folder is watched (inotify), so a message handed over
// while the relay runs is stored at once; it is also looked through at the relay's start
// (what came while it was stopped) and at each pass of the client timer (should the watch
// miss anything). Who handed a message over is the file's owner, as the kernel recorded it,
// and the trace header says so.
//
// A file is taken in only as a whole: its name says it is complete, its recorded size must
// match, and its envelope must hold only what an SMTP client could give; a file that fails
// (made by hand, damaged, a link, a folder) is logged and deleted, once: what cannot be
// deleted (a folder that is not empty) is said once and passed over from then on. A file the
// relay cannot read stays, logged once. When the spool cannot take a message (a full disk)
// the file stays for the next pass. Any user may write the folder, so nothing in it may stop
// the intake: a fault nobody foresaw sets that one file aside, logged once.
//
// Lock contract: used by its own thread; Wake() from any thread. Holds no lock of its own;
// the relay's queue list, settings and local names lock themselves.
class DropIntake {
 public:
  DropIntake(RelayServices& relay, std::string folder);

  const std::string& folder() const { return folder_; }
  // One pass over the folder; false when the intake must wait for a later pass (a stop, or
  // a message the spool could not take).
  bool TakeInAll();
  // The intake's thread: a pass now, then one whenever the folder gets a file or Wake() is
  // called, until the relay stops.
  int Run(ThreadHandle& self);
  void Wake();

 private:
  enum class Outcome { TakenIn, Refused, Left, Later };
  Outcome GuardedTakeIn(const std::string& name);
  Outcome TakeIn(const std::string& name);
  Outcome Refuse(const std::string& name, const std::string& why);
  // Names no longer in the folder leave the sets below, so that they stay as small as it.
  void ForgetGone(const std::vector<std::string>& sortedNames);

  RelayServices& relay_;
  const std::string folder_;
  FileDescriptor wake_;
  // Files already logged as unreadable, so that each is named once.
  std::set<std::string> unreadable_;
  // Passed over for the rest of this run, each logged once already: files taken in that could
  // not be removed (taken in again they would be delivered twice), entries refused that could
  // not be removed, files set aside after a fault.
  std::set<std::string> passedOver_;
};

}  // namespace vellomar
