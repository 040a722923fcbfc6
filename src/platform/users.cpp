#include "platform/users.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace vellomar {

std::optional<UserAccount> AccountOf(uid_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int error;
  while ((error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr) return std::nullopt;
  UserAccount account;
  account.login = entry.pw_name != nullptr ? entry.pw_name : "";
  std::string comment = entry.pw_gecos != nullptr ? entry.pw_gecos : "";
  account.fullName = comment.substr(0, comment.find(','));
  return account;
}

uid_t RealUserId() { return ::getuid(); }

}  // namespace vellomar
