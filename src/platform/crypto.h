#pragma once

#include <cstddef>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The few primitives beyond TLS that the relay takes from OpenSSL.

// `count` bytes from the system's cryptographic random source; EIO when it could not give them.
ErrorOr<std::string> RandomBytes(size_t count);
// The 32 bytes of the SHA-256 digest of `data`.
std::string Sha256(const std::string& data);
// The RS256 signature (RSASSA-PKCS1-v1_5 with SHA-256) of `data` with the RSA private key in
// the PEM text `keyPem` (PKCS#8 or PKCS#1, unencrypted; other blocks, such as a certificate,
// may come before or after it). EINVAL when the text holds no such key or the key is no RSA
// key, EIO when signing failed.
ErrorOr<std::string> SignRs256(const std::string& keyPem, const std::string& data);
// The SHA-256 of the DER form of the first certificate in the PEM text; EINVAL when it holds none.
ErrorOr<std::string> CertificateSha256(const std::string& pem);
// Overwrites a secret's bytes in a way the compiler cannot leave out, then empties it.
void Wipe(std::string& secret);

}  // namespace vellomar
