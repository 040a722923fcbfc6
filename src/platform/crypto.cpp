#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vellomar {

ErrorOr<std::string> RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    return ErrorOr<std::string>::Fail(EIO);
  }
  return bytes;
}

std::string Sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // Fails only when the library cannot allocate its context; an empty digest then matches nothing.
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
  return std::string(reinterpret_cast<const char*>(digest), length);
}

void Wipe(std::string& secret) {
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

}  // namespace vellomar
