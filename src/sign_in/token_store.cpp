#include "sign_in/token_store.h"

#include <fcntl.h>

#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/keyring.h"
#include "platform/stop_flag.h"

namespace vellomar {

namespace {

constexpr size_t kMaxToken = 16 * 1024;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

std::string Label(const std::string& account) { return "Vellomar sign-in (" + account + ")"; }

}  // namespace

std::string TokenFilePath(const std::string& folder, const std::string& account) {
  return folder + "/signin-" + Hex(Sha256(account)).substr(0, 16) + ".token";
}

std::shared_ptr<TokenStore> TokenStore::Open(const std::string& folder, const std::string& account, bool tryKeyring,
                                             std::chrono::milliseconds wait, const StopFlag& stop) {
  std::string path = TokenFilePath(folder, account);
  Place place = Place::File;
  if (tryKeyring) {
    auto probe = KeyringLookup(account, wait, stop);
    if (probe || probe.error() == ENOENT) place = Place::Keyring;
  }
  return std::shared_ptr<TokenStore>(new TokenStore(place, account, std::move(path), wait, stop));
}

TokenStore::TokenStore(Place place, std::string account, std::string path, std::chrono::milliseconds wait,
                       const StopFlag& stop)
    : place_(place), account_(std::move(account)), path_(std::move(path)), wait_(wait), stop_(stop) {}

std::string TokenStore::Description() const {
  return place_ == Place::Keyring ? "the desktop keyring" : "the file " + path_;
}

ErrorOr<std::string> TokenStore::LoadFile() {
  // Root signs in for a service whose folder is another user's: a link there is not followed.
  auto content = ReadPlainFile(path_, kMaxToken);
  if (!content) return content;
  std::string token = content.value().substr(0, content.value().find('\n'));
  if (token.empty()) return ErrorOr<std::string>::Fail(ENOENT);
  return token;
}

// Written to a fresh temporary file of mode 0600, so that the token is never readable by
// another user, not even for a moment, and a leftover's wider mode is not inherited. Saved by
// root for the system service, it becomes the folder owner's: the service could not read a
// file of root's.
Status TokenStore::SaveFile(const std::string& token) {
  return ReplaceFileContents(path_, token + "\n", NewFileRules{0600, true});
}

ErrorOr<std::string> TokenStore::Load() {
  std::lock_guard<std::mutex> guard(lock_);
  if (place_ == Place::File) return LoadFile();
  auto kept = KeyringLookup(account_, wait_, stop_);
  if (kept || kept.error() != ENOENT) return kept;
  // A token from a run that had no keyring moves into it.
  auto left = LoadFile();
  if (left && KeyringStore(account_, Label(account_), left.value(), wait_, stop_)) (void)RemoveFile(path_);
  return left;
}

Status TokenStore::Save(const std::string& token) {
  std::lock_guard<std::mutex> guard(lock_);
  if (place_ == Place::File) return SaveFile(token);
  Status stored = KeyringStore(account_, Label(account_), token, wait_, stop_);
  // An older copy in a file would outlive a rotation; a failed removal leaves only a token
  // that the provider no longer takes.
  if (stored) (void)RemoveFile(path_);
  return stored;
}

Status TokenStore::Erase() {
  std::lock_guard<std::mutex> guard(lock_);
  Status removed = RemoveFile(path_);
  if (!removed && removed.error() != ENOENT) return removed;
  if (place_ == Place::File) return Ok();
  Status cleared = KeyringClear(account_, wait_, stop_);
  return cleared || cleared.error() == ENOENT ? Ok() : cleared;
}

}  // namespace vellomar
