#include "spool/worker_registry.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>

#include "common/text.h"
#include "common/window_controls.h"

namespace vellomar {

bool WorkerRegistry::AddWorker(std::shared_ptr<ThreadHandle> thread, std::string name) {
  std::lock_guard<std::mutex> guard(lock_);
  try {
    WorkerEntry entry;
    entry.summary.name = std::move(name);
    entry.thread = std::move(thread);
    entries_.push_front(std::move(entry));
  } catch (const std::bad_alloc&) {
    return false;
  }
  changed_ = true;
  return true;
}

std::shared_ptr<ThreadHandle> WorkerRegistry::Launch(const std::string& name,
                                                     const std::function<std::shared_ptr<ThreadHandle>()>& start) {
  std::lock_guard<std::mutex> guard(lock_);
  std::shared_ptr<ThreadHandle> thread = start();
  if (thread == nullptr) return nullptr;
  try {
    WorkerEntry entry;
    entry.summary.name = name;
    entry.thread = thread;
    entries_.push_front(std::move(entry));
  } catch (const std::bad_alloc&) {
    // Unregistered, the thread still runs to its end and is joined by its tracker.
    return thread;
  }
  changed_ = true;
  return thread;
}

bool WorkerRegistry::RemoveWorker(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (entries_.empty()) return false;
  if (entries_.front().summary.name == name) {
    entries_.pop_front();
  } else {
    entries_.remove_if([&name](const WorkerEntry& entry) { return entry.summary.name == name; });
  }
  changed_ = true;
  return true;
}

void WorkerRegistry::RenameWorker(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(lock_);
  for (WorkerEntry& entry : entries_) {
    if (entry.summary.name != from) continue;
    entry.summary.name = to;
    changed_ = true;
    return;
  }
}

void WorkerRegistry::TerminateAll() {
  std::forward_list<WorkerEntry> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    taken.swap(entries_);
    changed_ = true;
  }
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
  std::lock_guard<std::mutex> guard(lock_);
  if (!changed_) return;
  std::string selected = controls.ListSelectedText(listId);
  controls.ListClear(listId);
  int index = 0;
  for (const WorkerEntry& entry : entries_) {
    controls.ListAppend(listId, entry.summary.name);
    if (!selected.empty() && EqualsIgnoreCase(selected, entry.summary.name)) controls.ListSelect(listId, index);
    ++index;
  }
  if (selected.empty()) controls.SetText(panelId, "");
  changed_ = false;
}

bool WorkerRegistry::GetSummary(const std::string& name, MailSummary& summary) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const WorkerEntry& entry : entries_) {
    if (EqualsIgnoreCase(entry.summary.name, name)) {
      summary = entry.summary;
      return true;
    }
  }
  return false;
}

void WorkerRegistry::UpdateSummary(const std::string& name, const MailSummary& summary) {
  std::lock_guard<std::mutex> guard(lock_);
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

size_t WorkerRegistry::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(std::distance(entries_.begin(), entries_.end()));
}

bool WorkerRegistry::changed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return changed_;
}

std::vector<std::string> WorkerRegistry::Names() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> names;
  for (const WorkerEntry& entry : entries_) names.push_back(entry.summary.name);
  return names;
}

}  // namespace vellomar
