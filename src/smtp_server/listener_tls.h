#pragma once

#include <memory>

#include "platform/tls_stream.h"

namespace vellomar {

class RelayServices;
struct Settings;

// The file names of the certificate and key that `TLS_Certificate=self` makes and keeps in
// the application directory.
constexpr const char* kOwnCertificateFile = "certificate.pem";
constexpr const char* kOwnKeyFile = "certificate.key";

// The listener's TLS as the settings ask for it, set up as the listener starts: null without
// a certificate (no TLS on the listener), or when it cannot be used (logged). With
// `TLS_Certificate=self` a certificate for the machine's name is made once and kept in the
// application directory, and made again when it is about to expire. Logs the certificate's
// SHA-256 fingerprint and publishes it in the relay's `listenerFingerprint`; warns when
// TLS_MinVersion lets in versions older than 1.2, and when RequireAuth leaves no way to log in
// for clients other than this machine.
std::shared_ptr<const TlsServerContext> PrepareListenerTls(RelayServices& relay, const Settings& settings);

}  // namespace vellomar
