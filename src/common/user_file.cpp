#include "common/user_file.h"

#include <algorithm>
#include <thread>

#include "platform/file_system.h"
#include "platform/password_hash.h"

namespace vellomar {

namespace {

// A list of a few hundred users is a few tens of kilobytes; anything far larger is no list of ours.
constexpr size_t kMaxFileSize = 1 << 20;

// A yescrypt hash of the default cost that no password is checked against for real: an
// unknown name is hashed against it so that it takes as long as a known one.
constexpr const char* kStandIn = "$y$j9T$w3ucQvRdU26PTeXdgzkf51$doQiJZCf6Oj/GetFayIsvsyWgiepQL0TdiTXmxhwOF1";

std::string Serialized(const std::vector<UserEntry>& users) {
  std::string text;
  for (const UserEntry& user : users) text += user.name + ":" + user.hash + "\n";
  return text;
}

// Password hashes: the owner's alone. Written by root (`--add-user`) for a service whose folder
// is another user's, it becomes that user's, or the service could not read it.
Status Write(const std::string& path, const std::vector<UserEntry>& users) {
  return ReplaceFileContents(path, Serialized(users), NewFileRules{0600, true});
}

}  // namespace

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c > ' ' && c < 0x7f && c != ':' && c != '(' && c != ')' && c != '\\' && c != '"';
  });
}

bool ValidPassword(const std::string& password) {
  return !password.empty() && password.size() <= 1024 && password.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

ErrorOr<std::vector<UserEntry>> ReadUsers(const std::string& path) {
  auto content = ReadPlainFile(path, kMaxFileSize);
  if (!content) {
    if (content.error() == ENOENT) return std::vector<UserEntry>{};
    return ErrorOr<std::vector<UserEntry>>::Fail(content.failure());
  }
  std::vector<UserEntry> users;
  const std::string& text = content.value();
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    UserEntry user{line.substr(0, colon), line.substr(colon + 1)};
    if (ValidUserName(user.name) && !user.hash.empty()) users.push_back(std::move(user));
  }
  return users;
}

bool AnyUsers(const std::string& path) {
  auto users = ReadUsers(path);
  return users && !users.value().empty();
}

bool KnownUsers::Any() {
  auto stamp = StampAt(path_);
  // A missing file holds nobody; nothing to remember.
  if (!stamp && stamp.error() == ENOENT) return false;
  if (stamp) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stamp_ == stamp.value()) return any_;
  }
  // Stamped before the read: a change while it reads shows as a new stamp next time.
  bool any = AnyUsers(path_);
  if (stamp) {
    std::lock_guard<std::mutex> guard(lock_);
    stamp_ = stamp.value();
    any_ = any;
  }
  return any;
}

Status SetUserPassword(const std::string& path, const std::string& name, const std::string& password) {
  if (!ValidUserName(name) || !ValidPassword(password)) return FailWith(EINVAL);
  auto users = ReadUsers(path);
  if (!users) return FailWith(users.failure());
  auto hash = HashPassword(password);
  if (!hash) return FailWith(hash.failure());
  auto& list = users.value();
  auto found = std::find_if(list.begin(), list.end(), [&](const UserEntry& user) { return user.name == name; });
  if (found != list.end()) {
    found->hash = hash.value();
  } else {
    list.push_back({name, hash.value()});
  }
  return Write(path, list);
}

Status RemoveUser(const std::string& path, const std::string& name) {
  auto users = ReadUsers(path);
  if (!users) return FailWith(users.failure());
  auto& list = users.value();
  auto kept = std::remove_if(list.begin(), list.end(), [&](const UserEntry& user) { return user.name == name; });
  if (kept == list.end()) return FailWith(ENOENT);
  list.erase(kept, list.end());
  return Write(path, list);
}

bool CheckUserPassword(const std::string& path, const std::string& name, const std::string& password) {
  auto users = ReadUsers(path);
  const UserEntry* match = nullptr;
  if (users) {
    for (const UserEntry& user : users.value()) {
      if (user.name == name) match = &user;
    }
  }
  if (match == nullptr) {
    (void)PasswordMatches(password, kStandIn);  // the time of a known name; the answer is no
    return false;
  }
  return PasswordMatches(password, match->hash);
}

PasswordCheckPlaces::PasswordCheckPlaces()
    : free_(std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 8)) {}

bool PasswordCheckPlaces::TakeWithin(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> held(lock_);
  if (!freed_.wait_for(held, wait, [this] { return free_ > 0; })) return false;
  --free_;
  return true;
}

void PasswordCheckPlaces::Give() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++free_;
  }
  freed_.notify_one();
}

}  // namespace vellomar
