#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

class StopFlag;

// The file in `folder` that keeps the refresh token of the sign-in `account` names, when no
// keyring does: "signin-<16 hex digits>.token", from its digest.
std::string TokenFilePath(const std::string& folder, const std::string& account);

// Where a sign-in's refresh token is kept between runs, readable by its owner only: the
// desktop keyring when one answers at opening, else a file of mode 0600 in a given folder (the
// application directory). The choice is made once, at opening, so that a run never spreads
// one token over two places. The token goes nowhere else.
//
// Thread-safety: the calls may come from several threads; Load, Save and Erase are each made
// whole under the store's own lock, which is held across the keyring's answer (a local service,
// bounded by `wait`) but never while the caller holds a lock of its own contract.
class TokenStore {
 public:
  enum class Place { Keyring, File };

  // `account` names the sign-in the token belongs to (provider, client and mailbox, say): the
  // keyring item's key, and the file's name through its digest. With `tryKeyring` false the
  // file is used without asking (a system service has no session keyring).
  static std::shared_ptr<TokenStore> Open(const std::string& folder, const std::string& account, bool tryKeyring,
                                          std::chrono::milliseconds wait, const StopFlag& stop);

  Place place() const { return place_; }
  // For the start-up log line: "the desktop keyring" or "the file <path>".
  std::string Description() const;
  // The file's path, whichever place is used (a token left there from a run without keyring
  // is read once and moved into the keyring).
  const std::string& path() const { return path_; }

  // ENOENT when no token is kept.
  ErrorOr<std::string> Load();
  // Replaces the kept token as one step: a reader sees the old token or the new one.
  Status Save(const std::string& token);
  // Forgets the token (a sign-out); success when none was kept.
  Status Erase();

 private:
  TokenStore(Place place, std::string account, std::string path, std::chrono::milliseconds wait, const StopFlag& stop);
  ErrorOr<std::string> LoadFile();
  Status SaveFile(const std::string& token);

  Place place_;
  std::string account_;
  std::string path_;
  std::chrono::milliseconds wait_;
  const StopFlag& stop_;
  std::mutex lock_;
};

}  // namespace vellomar
