#include "spool/folder_sync.h"

#include "platform/file_system.h"

namespace vellomar {

Status FolderSync::Sync() {
  std::unique_lock<std::mutex> guard(lock_);
  // A sync running now may have read the folder before this caller's names were in it: only
  // the next one to begin is sure to cover them.
  const uint64_t needed = begun_ + 1;
  while (completed_ < needed) {
    if (running_) {
      done_.wait(guard);
      continue;
    }
    running_ = true;
    const uint64_t number = ++begun_;
    guard.unlock();
    Status synced = SyncDirectory(folder_);
    guard.lock();
    running_ = false;
    completed_ = number;
    if (!synced) {
      lastFailed_ = number;
      lastError_ = synced.error();
    }
    done_.notify_all();
  }
  if (lastFailed_ >= needed) return FailWith(SystemError{lastError_});
  return Ok();
}

uint64_t FolderSync::syncsMade() const {
  std::lock_guard<std::mutex> guard(lock_);
  return completed_;
}

}  // namespace vellomar
