#pragma once

#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The few certificate chores of a listener with a certificate of its own, through OpenSSL.

// Makes a new RSA 2048 key and a certificate for `host` signed by that key, valid for `days`
// days in all from an hour ago (for clocks that are behind), and writes the key (mode 0600) and the certificate (PEM) each by a
// complete replacement of its file. On failure the library's or the system's reason is in
// `problem`.
bool MakeSelfSignedCertificate(const std::string& host, int days, const std::string& certificateFile,
                               const std::string& keyFile, std::string& problem);
// The SHA-256 of the first certificate in a PEM file as `openssl x509 -fingerprint -sha256`
// prints it: upper-case hex pairs joined by colons. Empty when the file holds none.
std::string CertificateFingerprint(const std::string& certificateFile);
// Whether the first certificate in a PEM file is still valid `days` days from now; false for a
// file that holds none.
bool CertificateValidFor(const std::string& certificateFile, int days);
// The whole life of the first certificate in a PEM file, from its first day to its last, in
// days (a part of a day counts as one); 0 for a file that holds none.
int CertificateLifeDays(const std::string& certificateFile);

}  // namespace vellomar
