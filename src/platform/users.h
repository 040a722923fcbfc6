#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vellomar {

// The account database (getpwuid_r), by user id: the login name, and the full name the
// first field of its comment gives ("Jane Doe" of "Jane Doe,,,"). None when the id has no
// entry or the database cannot be read.
struct UserAccount {
  std::string login;
  std::string fullName;
};
std::optional<UserAccount> AccountOf(uid_t uid);

uid_t RealUserId();

}  // namespace vellomar
