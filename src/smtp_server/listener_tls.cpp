#include "smtp_server/listener_tls.h"

#include "common/settings.h"
#include "common/text.h"
#include "platform/file_system.h"
#include "platform/tls_certificate.h"
#include "smtp_server/local_host_name.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// The longest life clients and checkers accept for a server certificate (398 days, as the
// browsers ask since 2020); made again once less than a month is left, or when one made by an
// earlier version lives longer.
constexpr int kOwnCertificateDays = 398;
constexpr int kRenewWithinDays = 30;

struct VersionName {
  const char* text;
  TlsVersion version;
};
constexpr VersionName kVersions[] = {{"1.0", TlsVersion::V1_0}, {"1", TlsVersion::V1_0}, {"1.1", TlsVersion::V1_1},
                                     {"1.2", TlsVersion::V1_2}, {"1.3", TlsVersion::V1_3}};

// Unset, the version every current client speaks.
TlsVersion OldestVersion(RelayServices& relay, const std::string& text) {
  if (text.empty()) return TlsVersion::V1_2;
  for (const VersionName& name : kVersions) {
    if (text == name.text) {
      if (name.version < TlsVersion::V1_2) {
        relay.AppendLog("Warning : the listener takes TLS " + text +
                        " (TLS_MinVersion): its encryption is weak, keep it for devices that know nothing newer");
      }
      return name.version;
    }
  }
  relay.AppendLog("TLS_MinVersion: " + text + " is not a TLS version; 1.2 applies");
  return TlsVersion::V1_2;
}

// An absolute path as it is; a relative one in the application directory.
std::string InAppDirectory(RelayServices& relay, const std::string& path) {
  return !path.empty() && path.front() == '/' ? path : relay.FilePath(path);
}

// The certificate `self` stands for, made when missing or about to expire; false when it
// could not be made (logged).
bool OwnCertificate(RelayServices& relay, std::string& certificate, std::string& key) {
  certificate = relay.FilePath(kOwnCertificateFile);
  key = relay.FilePath(kOwnKeyFile);
  if (EntryExists(key) && CertificateValidFor(certificate, kRenewWithinDays) &&
      CertificateLifeDays(certificate) <= kOwnCertificateDays) {
    return true;
  }
  const std::string host = LookUpMachineName();
  std::string problem;
  if (!MakeSelfSignedCertificate(host, kOwnCertificateDays, certificate, key, problem)) {
    relay.AppendLog("Error : can't make a certificate for the listener: " + problem);
    return false;
  }
  relay.AppendLog("Made a self-signed certificate for " + host + " (" + kOwnCertificateFile + ")");
  return true;
}

void WarnWhenNoLoginIsPossible(RelayServices& relay, const Settings& settings, bool tls) {
  if (settings.RequireAuth && !tls && !settings.AuthInClear) {
    relay.AppendLog("Warning : RequireAuth without a certificate or AuthInClear: only clients on this machine can "
                    "log in");
  }
}

}  // namespace

std::shared_ptr<const TlsServerContext> PrepareListenerTls(RelayServices& relay, const Settings& settings) {
  relay.listenerFingerprint.Set("");
  if (settings.TLS_Certificate.empty()) {
    WarnWhenNoLoginIsPossible(relay, settings, false);
    return nullptr;
  }
  std::string certificate;
  std::string key;
  if (EqualsIgnoreCase(settings.TLS_Certificate, "self")) {
    if (!OwnCertificate(relay, certificate, key)) return nullptr;
  } else {
    certificate = InAppDirectory(relay, settings.TLS_Certificate);
    // Without a key file of its own, the key is in the certificate's file.
    key = settings.TLS_Key.empty() ? certificate : InAppDirectory(relay, settings.TLS_Key);
  }
  std::string problem;
  auto context = TlsServerContext::Load(certificate, key, OldestVersion(relay, settings.TLS_MinVersion), problem);
  if (!context) {
    relay.AppendLog("Error : the listener's certificate is not usable, no TLS offered: " + problem);
    WarnWhenNoLoginIsPossible(relay, settings, false);
    return nullptr;
  }
  const std::string fingerprint = CertificateFingerprint(certificate);
  relay.listenerFingerprint.Set(fingerprint);
  relay.AppendLog("Listener certificate SHA-256: " + fingerprint);
  return context;
}

}  // namespace vellomar
