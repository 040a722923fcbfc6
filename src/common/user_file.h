#pragma once

#include <string>
#include <vector>

#include "platform/error_or.h"

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
// Whether `name` is a user whose password this is. An unknown name costs the same hashing
// as a known one, so that the time of the answer does not tell which names exist.
bool CheckUserPassword(const std::string& path, const std::string& name, const std::string& password);

}  // namespace vellomar
