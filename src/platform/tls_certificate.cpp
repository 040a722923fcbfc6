#include "platform/tls_certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/file_system.h"
#include "platform/random.h"

namespace vellomar {

namespace {

struct Freed {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Freed>;
using Certificate = std::unique_ptr<X509, Freed>;
using Memory = std::unique_ptr<BIO, Freed>;

std::string LibraryError(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

Certificate ReadFirstCertificate(const std::string& file) {
  auto content = ReadWholeFile(file, 1 << 20);
  if (!content) return nullptr;
  Memory memory(BIO_new_mem_buf(content.value().data(), static_cast<int>(content.value().size())));
  Certificate certificate(memory ? PEM_read_bio_X509(memory.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return certificate;
}

bool AddExtension(X509* certificate, int id, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value.c_str());
  if (extension == nullptr) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// Its life begins an hour ago, for clocks that are behind.
constexpr long kBackdated = 3600;

// The certificate for `host`, holding and signed by `key`, living `days` days in all.
Certificate Sign(const std::string& host, int days, EVP_PKEY* key) {
  Certificate made(X509_new());
  unsigned char serial[16];
  if (!made || !FillRandom(serial, sizeof serial)) return nullptr;
  serial[0] &= 0x7f;  // a positive number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(made.get())) != nullptr;
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(made.get());
  ok = ok && X509_set_version(made.get(), 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(made.get()), -kBackdated) &&
       X509_gmtime_adj(X509_getm_notAfter(made.get()), long{days} * 86400 - kBackdated) &&
       X509_set_pubkey(made.get(), key) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host.c_str()),
                                  -1, -1, 0) == 1 &&
       X509_set_issuer_name(made.get(), name) == 1 && AddExtension(made.get(), NID_subject_alt_name, "DNS:" + host) &&
       AddExtension(made.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(made.get(), NID_ext_key_usage, "serverAuth") &&
       X509_sign(made.get(), key, EVP_sha256()) > 0;
  return ok ? std::move(made) : nullptr;
}

// The PEM text that `write` puts into a memory buffer.
template <typename Write>
std::string Pem(Write write) {
  Memory memory(BIO_new(BIO_s_mem()));
  if (!memory || !write(memory.get())) return "";
  char* data = nullptr;
  long length = BIO_get_mem_data(memory.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace

bool MakeSelfSignedCertificate(const std::string& host, int days, const std::string& certificateFile,
                               const std::string& keyFile, std::string& problem) {
  ERR_clear_error();
  // RSA rather than an elliptic curve: the old printers and scanners that need a certificate
  // of this kind most often know no other.
  Key key(EVP_RSA_gen(2048));
  Certificate certificate = key ? Sign(host, days, key.get()) : nullptr;
  if (!certificate) {
    problem = LibraryError("cannot make a certificate");
    return false;
  }
  const std::string keyPem = Pem([&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
  const std::string certificatePem = Pem([&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()) == 1; });
  // The key first: a certificate is never left beside a key that is not its own for long.
  Status written = keyPem.empty() || certificatePem.empty() ? FailWith(ENOMEM) : ReplaceFileContents(keyFile, keyPem);
  if (written) written = SetFileMode(keyFile, 0600);
  if (written) written = ReplaceFileContents(certificateFile, certificatePem);
  if (!written) {
    problem = std::string("cannot write the certificate: ") + std::strerror(written.error());
    return false;
  }
  return true;
}

std::string CertificateFingerprint(const std::string& certificateFile) {
  Certificate certificate = ReadFirstCertificate(certificateFile);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) return "";
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i + 1 < length ? "%02X:" : "%02X", digest[i]);
    text += pair;
  }
  return text;
}

bool CertificateValidFor(const std::string& certificateFile, int days) {
  Certificate certificate = ReadFirstCertificate(certificateFile);
  if (!certificate) return false;
  std::time_t then = std::time(nullptr) + std::time_t{days} * 86400;
  return X509_cmp_time(X509_get0_notAfter(certificate.get()), &then) > 0;
}

int CertificateLifeDays(const std::string& certificateFile) {
  Certificate certificate = ReadFirstCertificate(certificateFile);
  int days = 0;
  int seconds = 0;
  if (!certificate ||
      ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate.get()), X509_get0_notAfter(certificate.get())) != 1) {
    return 0;
  }
  return days + (seconds > 0 ? 1 : 0);
}

}  // namespace vellomar
