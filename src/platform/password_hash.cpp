#include "platform/password_hash.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>

namespace vellomar {

namespace {

// About 32 KB: kept off the stack of the session threads.
std::unique_ptr<crypt_data> FreshData() {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  return data;
}

// crypt(3) reads a phrase up to its first NUL.
bool Hashable(const std::string& password) { return password.find('\0') == std::string::npos; }

}  // namespace

ErrorOr<std::string> HashPassword(const std::string& password) {
  if (!Hashable(password)) return ErrorOr<std::string>::Fail(EINVAL);
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  // A null random source asks the library for its own (getrandom); 0 is yescrypt's default cost.
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr) {
    return ErrorOr<std::string>::Fail(errno != 0 ? errno : EINVAL);
  }
  auto data = FreshData();
  const char* hash = crypt_rn(password.c_str(), salt, data.get(), sizeof(crypt_data));
  // A failed call may return a text starting with '*' where the library was built so.
  if (hash == nullptr || hash[0] == '*') return ErrorOr<std::string>::Fail(errno != 0 ? errno : EINVAL);
  return std::string(hash);
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  if (!Hashable(password) || hash.empty() || hash[0] == '*' || hash[0] == '!') return false;
  auto data = FreshData();
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  if (computed == nullptr || computed[0] == '*') return false;
  size_t length = std::strlen(computed);
  return length == hash.size() && CRYPTO_memcmp(computed, hash.data(), length) == 0;
}

}  // namespace vellomar
