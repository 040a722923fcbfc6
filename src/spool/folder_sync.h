#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// Puts the spool folder's entries on stable storage for every caller that needs it, sharing
// one sync among callers that arrive together. A caller returns only once a sync of the folder
// that began after it called has completed, so the names it created before calling are durable;
// a caller that finds no sync running starts one at once and waits for no one. Sessions that
// finish their data at about the same moment thus pay for one folder sync instead of one each
// (group commit): whoever arrives while a sync runs waits for it and then leads the next one,
// on behalf of everyone who arrived in the meantime.
//
// Lock contract: one lock of its own, never held across the sync itself nor while calling out.
// A wait here lasts no longer than the syncs it waits for, which no stop can cut short either:
// a session waiting for another's sync waits as it would in a sync of its own.
class FolderSync {
 public:
  explicit FolderSync(std::string folder) : folder_(std::move(folder)) {}
  FolderSync(const FolderSync&) = delete;
  FolderSync& operator=(const FolderSync&) = delete;

  // Ok once the folder is durable as of this call; a failure of the sync that covered this call
  // (or of a later one, which is reported too rather than risk a false success).
  [[nodiscard]] Status Sync();
  // How many syncs were actually made; lets tests see callers sharing one.
  uint64_t syncsMade() const;

 private:
  const std::string folder_;
  mutable std::mutex lock_;
  std::condition_variable done_;
  // Syncs begun and completed so far, numbered from 1; at most one runs at a time.
  uint64_t begun_ = 0;
  uint64_t completed_ = 0;
  bool running_ = false;
  // The number of the last sync that failed, and why.
  uint64_t lastFailed_ = 0;
  int lastError_ = 0;
};

}  // namespace vellomar
