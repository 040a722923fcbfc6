#pragma once

#include <forward_list>
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
// Lock contract: no operation takes `lock`; the caller holds it around every call.
// TerminateAll() is handed the held lock and releases it before it waits for any thread.
class WorkerRegistry {
 public:
  std::mutex lock;
  // The list box showing this registry must be rebuilt.
  bool changed = true;

  // False only when the entry cannot be allocated.
  bool AddWorker(std::shared_ptr<ThreadHandle> thread, std::string name);
  // Exact comparison, as QueueList::Remove. False when the registry was empty.
  bool RemoveWorker(const std::string& name);
  // Gives the entry named `from` (exact comparison) the name `to`, as a connection that
  // goes on to its next message moves to that message's file. No entry, no effect.
  void RenameWorker(const std::string& from, const std::string& to);
  // Takes every entry out (the registry is then empty and changed), releases `held`, then
  // stops the threads: up to 1000 ms, shared by all, to end by themselves; the rest are
  // cancelled and waited for. A thread reaching RemoveWorker meanwhile finds nothing and
  // goes on.
  void TerminateAll(std::unique_lock<std::mutex>& held);
  // When changed: rebuilds the list box from the entry names, keeping the selected name
  // selected; with nothing selected the info panel is blanked.
  void FillListBox(WindowControls& controls, int listId, int panelId);
  // Letter case ignored; the first match counts. False (and `summary` untouched) when none.
  bool GetSummary(const std::string& name, MailSummary& summary) const;
  // Letter case ignored; every field but the name. No entry, no effect.
  void UpdateSummary(const std::string& name, const MailSummary& summary);

  size_t size() const;
  // The entry names, in no particular order.
  std::vector<std::string> Names() const;

 private:
  std::forward_list<WorkerEntry> entries_;
};

}  // namespace vellomar
