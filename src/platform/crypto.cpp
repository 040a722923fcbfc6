#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

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

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

std::unique_ptr<BIO, BioFree> MemoryOf(const std::string& text) {
  if (text.size() > INT_MAX) return nullptr;
  return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

ErrorOr<std::string> SignRs256(const std::string& keyPem, const std::string& data) {
  auto bio = MemoryOf(keyPem);
  if (!bio) return ErrorOr<std::string>::Fail(EIO);
  // Reads past other blocks (a certificate before the key) to the first private key; never
  // asks for a passphrase on the terminal.
  std::unique_ptr<EVP_PKEY, KeyFree> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>("")));
  ERR_clear_error();
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return ErrorOr<std::string>::Fail(EINVAL);
  std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1) {
    return ErrorOr<std::string>::Fail(EIO);
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    return ErrorOr<std::string>::Fail(EIO);
  }
  signature.resize(length);
  return signature;
}

ErrorOr<std::string> CertificateSha256(const std::string& pem) {
  auto bio = MemoryOf(pem);
  if (!bio) return ErrorOr<std::string>::Fail(EIO);
  std::unique_ptr<X509, X509Free> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, const_cast<char*>("")));
  ERR_clear_error();
  if (!certificate) return ErrorOr<std::string>::Fail(EINVAL);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) return ErrorOr<std::string>::Fail(EIO);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

void Wipe(std::string& secret) {
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

}  // namespace vellomar
