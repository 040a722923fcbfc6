#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "platform/file_system.h"

namespace vellomar {

// Puts what sessions and deliveries wrote in the spool folder on stable storage, one sync shared
// by the callers that need one at about the same moment (group commit). A session that ends
// its data needs its file and the file's name durable before its 250; a delivery needs a
// recipient's state letter durable before the recipient counts as sent. A caller returns only
// once a sync that began after it called has completed.
//
// A round made for one caller alone syncs just what it asked for (the file, then the folder;
// or the file's data), so an idle relay never syncs more of the disk than its own file. A round
// made for several syncs the whole file system once (syncfs): one flush and one journal commit
// for every file and name of the round, instead of two syncs each. Whoever arrives while a
// round runs waits for it and then leads the next one, on behalf of everyone who arrived in
// the meantime. On kernels before 5.8 syncfs reports no write error, so there every round
// syncs each caller's file in turn and the folder once.
//
// Lock contract: one lock of its own, never held across a sync nor while calling out. A wait
// here lasts no longer than the syncs it waits for, which no stop can cut short either: a
// caller waiting for another's sync waits as it would in a sync of its own. A caller's
// descriptor stays open until its call returns, so the round that covers it may use it.
class SpoolSync {
 public:
  enum class Need {
    Data,         // a rewrite in place: the file's data
    FileAndName,  // a new file: its data, its inode and its entry in the folder
  };
  explicit SpoolSync(std::string folder, bool syncfsReportsErrors = SyncFileSystemReportsErrors());
  SpoolSync(const SpoolSync&) = delete;
  SpoolSync& operator=(const SpoolSync&) = delete;

  // Ok once what `fd` needs is durable as of this call; a failure of the round that covered
  // this call (or of a later one, which is reported too rather than risk a false success).
  [[nodiscard]] Status Sync(int fd, Need need);
  // The rounds made, and of them those that synced the whole file system: lets tests see
  // callers sharing one.
  uint64_t syncsMade() const;
  uint64_t sharedSyncsMade() const;

 private:
  struct Caller {
    int fd;
    Need need;
  };
  Status SyncRound(const std::vector<Caller>& callers);
  Status SyncEach(const std::vector<Caller>& callers);
  // The folder's own descriptor, opened by the first round that needs it.
  Status OpenFolder();

  const std::string folder_;
  const bool syncfsReportsErrors_;
  // Opened by the first round that needs it; used by one round at a time.
  FileDescriptor folderFd_;
  mutable std::mutex lock_;
  std::condition_variable done_;
  // Those who called since the running round began: the next round covers them.
  std::vector<Caller> next_;
  // Rounds begun and completed so far, numbered from 1; at most one runs at a time.
  uint64_t begun_ = 0;
  uint64_t completed_ = 0;
  uint64_t shared_ = 0;
  bool running_ = false;
  // The number of the last round that failed, and why.
  uint64_t lastFailed_ = 0;
  int lastError_ = 0;
};

}  // namespace vellomar
