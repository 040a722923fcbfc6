#pragma once

#include <forward_list>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread_handle.h"
#include "spool/mail_summary.h"

namespace vellomar {

class WindowControls;

// One running reception session or delivery worker: its spool file's summary (whose name is
// the key) and a handle on its thread.
struct WorkerEntry {
  MailSummary summary;
  std::shared_ptr<ThreadHandle> thread;
};

// The running threads of one side, keyed by the spool file each writes or reads; the
// window's list of that side is built from it. Entries run newest first.
//
// Lock contract: every operation takes the registry's own lock for its length and takes no
// other lock under it; TerminateAll() releases it before it waits for any thread, and
// FillListBox() calls only the controls under it (on the window's thread).
class WorkerRegistry {
 public:
  // False only when the entry cannot be allocated.
  bool AddWorker(std::shared_ptr<ThreadHandle> thread, std::string name);
  // Starts a thread with `start` and registers it under one hold of the lock, so that the
  // thread's first use of the registry finds its entry. Null (nothing registered) when the
  // thread could not start.
  std::shared_ptr<ThreadHandle> Launch(const std::string& name,
                                       const std::function<std::shared_ptr<ThreadHandle>()>& start);
  // Exact comparison, as QueueList::Remove. False when the registry was empty.
  bool RemoveWorker(const std::string& name);
  // Gives the entry named `from` (exact comparison) the name `to`, as a connection that
  // goes on to its next message moves to that message's file. No entry, no effect.
  void RenameWorker(const std::string& from, const std::string& to);
  // Takes every entry out (the registry is then empty and changed), then, without the lock,
  // stops the threads: up to 1000 ms, shared by all, to end by themselves; the rest are
  // cancelled and waited for. A thread reaching RemoveWorker meanwhile finds nothing and
  // goes on.
  void TerminateAll();
  // When changed: rebuilds the list box from the entry names, keeping the selected name
  // selected; with nothing selected the info panel is blanked.
  void FillListBox(WindowControls& controls, int listId, int panelId);
  // Letter case ignored; the first match counts. False (and `summary` untouched) when none.
  bool GetSummary(const std::string& name, MailSummary& summary) const;
  // Letter case ignored; every field but the name. No entry, no effect.
  void UpdateSummary(const std::string& name, const MailSummary& summary);

  size_t size() const;
  // The list box showing this registry must be rebuilt.
  bool changed() const;
  // The entry names, in no particular order.
  std::vector<std::string> Names() const;

 private:
  mutable std::mutex lock_;
  // The list box showing this registry must be rebuilt.
  bool changed_ = true;
  std::forward_list<WorkerEntry> entries_;
};

}  // namespace vellomar
