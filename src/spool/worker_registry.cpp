#include "spool/worker_registry.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>

#include "common/text.h"
#include "common/window_controls.h"

namespace vellomar {

bool WorkerRegistry::AddWorker(std::shared_ptr<ThreadHandle> thread, std::string name) {
  try {
    WorkerEntry entry;
    entry.summary.name = std::move(name);
    entry.thread = std::move(thread);
    entries_.push_front(std::move(entry));
  } catch (const std::bad_alloc&) {
    return false;
  }
  changed = true;
  return true;
}

bool WorkerRegistry::RemoveWorker(const std::string& name) {
  if (entries_.empty()) return false;
  if (entries_.front().summary.name == name) {
    entries_.pop_front();
  } else {
    entries_.remove_if([&name](const WorkerEntry& entry) { return entry.summary.name == name; });
  }
  changed = true;
  return true;
}

void WorkerRegistry::RenameWorker(const std::string& from, const std::string& to) {
  for (WorkerEntry& entry : entries_) {
    if (entry.summary.name != from) continue;
    entry.summary.name = to;
    changed = true;
    return;
  }
}

void WorkerRegistry::TerminateAll(std::unique_lock<std::mutex>& held) {
  std::forward_list<WorkerEntry> taken;
  taken.swap(entries_);
  changed = true;
  held.unlock();
  // One second for all of them together, so that shutdown stays bounded however many run.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  for (WorkerEntry& entry : taken) {
    ThreadHandle* thread = entry.thread.get();
    if (thread == nullptr) continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!thread->WaitFor(std::max(left, std::chrono::milliseconds(0)))) thread->Cancel();
  }
  for (WorkerEntry& entry : taken) {
    if (entry.thread != nullptr) entry.thread->Wait();
  }
}

void WorkerRegistry::FillListBox(WindowControls& controls, int listId, int panelId) {
  if (!changed) return;
  std::string selected = controls.ListSelectedText(listId);
  controls.ListClear(listId);
  int index = 0;
  for (const WorkerEntry& entry : entries_) {
    controls.ListAppend(listId, entry.summary.name);
    if (!selected.empty() && EqualsIgnoreCase(selected, entry.summary.name)) controls.ListSelect(listId, index);
    ++index;
  }
  if (selected.empty()) controls.SetText(panelId, "");
  changed = false;
}

bool WorkerRegistry::GetSummary(const std::string& name, MailSummary& summary) const {
  for (const WorkerEntry& entry : entries_) {
    if (EqualsIgnoreCase(entry.summary.name, name)) {
      summary = entry.summary;
      return true;
    }
  }
  return false;
}

void WorkerRegistry::UpdateSummary(const std::string& name, const MailSummary& summary) {
  for (WorkerEntry& entry : entries_) {
    if (EqualsIgnoreCase(entry.summary.name, name)) {
      entry.summary.sender = summary.sender;
      entry.summary.recipientCount = summary.recipientCount;
      entry.summary.subject = summary.subject;
      entry.summary.size = summary.size;
      return;
    }
  }
}

size_t WorkerRegistry::size() const { return static_cast<size_t>(std::distance(entries_.begin(), entries_.end())); }

std::vector<std::string> WorkerRegistry::Names() const {
  std::vector<std::string> names;
  for (const WorkerEntry& entry : entries_) names.push_back(entry.summary.name);
  return names;
}

}  // namespace vellomar
