#include "spool/spool_sync.h"

#include <fcntl.h>

namespace vellomar {

SpoolSync::SpoolSync(std::string folder, bool syncfsReportsErrors)
    : folder_(std::move(folder)), syncfsReportsErrors_(syncfsReportsErrors) {}

Status SpoolSync::Sync(int fd, Need need) {
  std::unique_lock<std::mutex> guard(lock_);
  // A round running now may have begun before this caller's writes: only the next one to
  // begin is sure to cover them.
  const uint64_t needed = begun_ + 1;
  next_.push_back(Caller{fd, need});
  while (completed_ < needed) {
    if (running_) {
      done_.wait(guard);
      continue;
    }
    running_ = true;
    const uint64_t number = ++begun_;
    std::vector<Caller> callers;
    callers.swap(next_);
    guard.unlock();
    Status synced = SyncRound(callers);
    guard.lock();
    running_ = false;
    completed_ = number;
    if (callers.size() > 1 && syncfsReportsErrors_) ++shared_;
    if (!synced) {
      lastFailed_ = number;
      lastError_ = synced.error();
    }
    done_.notify_all();
  }
  if (lastFailed_ >= needed) return FailWith(SystemError{lastError_});
  return Ok();
}

Status SpoolSync::SyncRound(const std::vector<Caller>& callers) {
  if (callers.size() == 1 || !syncfsReportsErrors_) return SyncEach(callers);
  Status opened = OpenFolder();
  return opened ? SyncFileSystem(folderFd_.get()) : opened;
}

Status SpoolSync::SyncEach(const std::vector<Caller>& callers) {
  bool names = false;
  for (const Caller& caller : callers) {
    Status synced = caller.need == Need::Data ? SyncFileData(caller.fd) : SyncFile(caller.fd);
    if (!synced) return synced;
    names = names || caller.need == Need::FileAndName;
  }
  if (!names) return Ok();
  Status opened = OpenFolder();
  return opened ? SyncFile(folderFd_.get()) : opened;
}

Status SpoolSync::OpenFolder() {
  if (folderFd_.valid()) return Ok();
  auto opened = OpenFile(folder_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!opened) return FailWith(opened.failure());
  folderFd_ = std::move(opened.value());
  return Ok();
}

uint64_t SpoolSync::syncsMade() const {
  std::lock_guard<std::mutex> guard(lock_);
  return completed_;
}

uint64_t SpoolSync::sharedSyncsMade() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shared_;
}

}  // namespace vellomar
