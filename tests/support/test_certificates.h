#pragma once

#include <string>

namespace vellomar::test {

// A certificate and its private key as PEM files.
struct CertificateFiles {
  std::string certificate;
  std::string key;
};

// A certificate authority made at test time, and server certificates it issues, written as
// PEM files into a folder. Two authorities made in the same folder need different names.
class TestCertificates {
 public:
  TestCertificates(const std::string& folder, const std::string& name);

  // The authority's own certificate: the trust store that makes its certificates trusted.
  const std::string& authorityFile() const { return authority_.certificate; }
  // A server certificate for the DNS name `host`, valid from `fromDays` to `toDays` days from
  // now (both negative: expired), signed by this authority.
  CertificateFiles Issue(const std::string& stem, const std::string& host, int fromDays = -1, int toDays = 30);

  // The SHA-256 of a certificate file as `openssl x509 -noout -fingerprint -sha256` prints it
  // after the '=': upper-case hex pairs joined by colons.
  static std::string Fingerprint(const std::string& certificateFile);

 private:
  std::string folder_;
  CertificateFiles authority_;
};

}  // namespace vellomar::test
