#pragma once

#include <iosfwd>
#include <string>

namespace vellomar {

// --add-user NAME, --remove-user NAME and --list-users: the users who may log in on the
// listener, in the users file of the program's folder. A running program reads the file at
// each login, so a change applies at once. Returns the exit status.
int AddUserCommand(const std::string& name, std::istream& in, std::ostream& out, std::ostream& err);
int RemoveUserCommand(const std::string& name, std::ostream& out, std::ostream& err);
int ListUsersCommand(std::ostream& out, std::ostream& err);

}  // namespace vellomar
