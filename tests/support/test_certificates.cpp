#include "support/test_certificates.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace vellomar::test {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

void AddExtension(X509* certificate, X509* issuer, int id, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value);
  ASSERT_NE(extension, nullptr) << value;
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `commonName` holding `key`, signed by `issuerKey` as `issuer` (itself
// when null).
Certificate Make(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, int fromDays,
                 int toDays, bool authority) {
  static long serial = 1;
  Certificate made(X509_new());
  X509_set_version(made.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(made.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(made.get()), long{fromDays} * 86400);
  X509_gmtime_adj(X509_getm_notAfter(made.get()), long{toDays} * 86400);
  X509_set_pubkey(made.get(), key);
  X509_NAME* name = X509_get_subject_name(made.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(made.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer != nullptr ? issuer : made.get();
  if (authority) {
    AddExtension(made.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(made.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(made.get(), signer, NID_subject_alt_name, ("DNS:" + commonName).c_str());
    AddExtension(made.get(), signer, NID_ext_key_usage, "serverAuth");
  }
  EXPECT_GT(X509_sign(made.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()), 0);
  return made;
}

void WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr) << path;
  if (certificate != nullptr) PEM_write_X509(file, certificate);
  if (key != nullptr) PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(file);
}

template <typename T, T* (*Read)(FILE*, T**, pem_password_cb*, void*)>
T* ReadPem(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  T* read = Read(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  return read;
}

}  // namespace

TestCertificates::TestCertificates(const std::string& folder, const std::string& name) : folder_(folder) {
  Key key(EVP_EC_gen("P-256"));
  Certificate authority = Make("Vellomar test authority " + name, key.get(), nullptr, nullptr, -1, 30, true);
  authority_ = {folder + "/" + name + "-authority.pem", folder + "/" + name + "-authority.key"};
  WritePem(authority_.certificate, authority.get(), nullptr);
  WritePem(authority_.key, nullptr, key.get());
}

CertificateFiles TestCertificates::Issue(const std::string& stem, const std::string& host, int fromDays, int toDays) {
  Certificate authority(ReadPem<X509, PEM_read_X509>(authority_.certificate));
  Key authorityKey(ReadPem<EVP_PKEY, PEM_read_PrivateKey>(authority_.key));
  Key key(EVP_EC_gen("P-256"));
  Certificate made = Make(host, key.get(), authority.get(), authorityKey.get(), fromDays, toDays, false);
  CertificateFiles files{folder_ + "/" + stem + ".pem", folder_ + "/" + stem + ".key"};
  WritePem(files.certificate, made.get(), nullptr);
  WritePem(files.key, nullptr, key.get());
  return files;
}

std::string TestCertificates::Fingerprint(const std::string& certificateFile) {
  Certificate certificate(ReadPem<X509, PEM_read_X509>(certificateFile));
  if (!certificate) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(certificate.get(), EVP_sha256(), digest, &length);
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i + 1 < length ? "%02X:" : "%02X", digest[i]);
    text += pair;
  }
  return text;
}

}  // namespace vellomar::test
