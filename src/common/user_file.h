#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_system.h"

namespace vellomar {

// The users who may log in on the listener: the file `users` in the application directory,
// one line "name:hash" per user, the hash as crypt(3) makes it (yescrypt). Nothing but that
// hash of a password is ever written. Every change replaces the file whole (a reader sees the
// old or the new list, never a part), readable and writable by its owner alone (0600).
// The file is read at each use, so a user added while the relay runs can log in at once.
// Free functions on a path; no lock: two writers at once keep the later write.

constexpr const char* kUsersFileName = "users";

// 1 to 128 bytes of printable ASCII without a blank, ':' (the file's separator) or the
// characters a trace header's comment cannot hold as they are: ( ) \ "
bool ValidUserName(const std::string& name);
// 1 to 1024 bytes without NUL, CR or LF.
bool ValidPassword(const std::string& password);

struct UserEntry {
  std::string name;
  std::string hash;
};
// The users in the file, in its order; a missing file holds none. A line that is not
// "name:hash" is passed over.
ErrorOr<std::vector<UserEntry>> ReadUsers(const std::string& path);
// Whether the file names anyone who could log in; false when it cannot be read.
bool AnyUsers(const std::string& path);
// Adds the user, or gives an existing one the new password. EINVAL for a name or password
// that is not valid.
Status SetUserPassword(const std::string& path, const std::string& name, const std::string& password);
// ENOENT when there is no such user.
Status RemoveUser(const std::string& path, const std::string& name);
// Whether the file names anyone who could log in, as a listener asks at each connection and
// EHLO: read again only when the file's stamp (platform/file_system.h) changed since the last
// read, so a busy listener pays a stat per question instead of a read, and a user added while
// the relay runs can still log in at once.
//
// Lock contract: its own lock, held for the comparison and the copy alone, never across the
// read; no other lock is taken under it.
class KnownUsers {
 public:
  explicit KnownUsers(std::string path) : path_(std::move(path)) {}
  KnownUsers(const KnownUsers&) = delete;
  KnownUsers& operator=(const KnownUsers&) = delete;

  bool Any();

 private:
  const std::string path_;
  std::mutex lock_;
  // The stamp of the content `any_` was read from; none before the first read.
  std::optional<FileStamp> stamp_;
  bool any_ = false;
};

// Whether `name` is a user whose password this is. An unknown name costs the same hashing
// as a known one, so that the time of the answer does not tell which names exist.
bool CheckUserPassword(const std::string& path, const std::string& name, const std::string& password);
// The places for password checks at once: one per processor, at least two, at most eight.
// Each check holds yescrypt's 16 MiB while it runs.
//
// Lock contract: its own lock, held to take or give a place, never across a check.
class PasswordCheckPlaces {
 public:
  PasswordCheckPlaces();
  explicit PasswordCheckPlaces(int count) : free_(count) {}
  PasswordCheckPlaces(const PasswordCheckPlaces&) = delete;
  PasswordCheckPlaces& operator=(const PasswordCheckPlaces&) = delete;

  // A place taken within the time, or false.
  [[nodiscard]] bool TakeWithin(std::chrono::milliseconds wait);
  void Give();

 private:
  std::mutex lock_;
  std::condition_variable freed_;
  int free_;
};

}  // namespace vellomar
