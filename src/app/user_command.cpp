#include "app/user_command.h"

#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "common/app_directory.h"
#include "common/system_error.h"
#include "common/user_file.h"
#include "platform/crypto.h"
#include "platform/terminal.h"

namespace vellomar {

namespace {

std::string UsersFile() { return GetAppDirectory() + "/" + kUsersFileName; }

// At a terminal the password is asked for twice, unseen; otherwise it is the first line of
// standard input, so that a script can pipe it in without it showing in the process list.
std::optional<std::string> ReadPassword(std::istream& in, std::ostream& out, std::ostream& err) {
  if (!IsTerminal(STDIN_FILENO)) {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  out << "Password: " << std::flush;
  auto first = ReadHiddenLine(STDIN_FILENO);
  out << "Again: " << std::flush;
  auto second = ReadHiddenLine(STDIN_FILENO);
  if (!first || !second) return std::nullopt;
  bool same = first.value() == second.value();
  Wipe(second.value());
  if (same) return first.value();
  err << "vellomar: the two passwords differ; nothing changed\n";
  Wipe(first.value());
  return std::nullopt;
}

}  // namespace

int AddUserCommand(const std::string& name, std::istream& in, std::ostream& out, std::ostream& err) {
  if (!ValidUserName(name)) {
    err << "vellomar: '" << name << "' cannot be a user name (printable, no blank, ':', quote, backslash or bracket)\n";
    return 2;
  }
  std::optional<std::string> password = ReadPassword(in, out, err);
  if (!password) {
    err << "vellomar: no password given; nothing changed\n";
    return 1;
  }
  Status set = SetUserPassword(UsersFile(), name, *password);
  Wipe(*password);
  if (!set) {
    err << "vellomar: cannot set the password of " << name << " in " << UsersFile() << ": "
        << (set.error() == EINVAL ? "a password is 1 to 1024 characters on one line" : SystemErrorText(set.failure()))
        << "\n";
    return 1;
  }
  out << "User " << name << " may log in.\n";
  return 0;
}

int RemoveUserCommand(const std::string& name, std::ostream& out, std::ostream& err) {
  Status removed = RemoveUser(UsersFile(), name);
  if (!removed) {
    err << "vellomar: " << (removed.error() == ENOENT ? "no user " + name : SystemErrorText(removed.failure())) << "\n";
    return 1;
  }
  out << "User " << name << " removed.\n";
  return 0;
}

int ListUsersCommand(std::ostream& out, std::ostream& err) {
  auto users = ReadUsers(UsersFile());
  if (!users) {
    err << "vellomar: cannot read " << UsersFile() << ": " << SystemErrorText(users.failure()) << "\n";
    return 1;
  }
  for (const UserEntry& user : users.value()) out << user.name << "\n";
  return 0;
}

}  // namespace vellomar
