#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/network_list.h"
#include "common/shared_text.h"

namespace vellomar {

// The clients served when `Allow` names none: the machine itself and its local networks
// (loopback, the private IPv4 ranges, link-local, unique-local IPv6).
NetworkList DefaultAllowedNetworks();

// The in-memory copy of the settings, one field per stored value. Written on the window's
// thread (at start-up and after the Modes dialog) and read by every thread; each field can
// be read at any time without a lock and is never seen half replaced.
struct Settings {
  std::atomic<bool> REAL_RELAY{false};
  SharedText SMTP;
  SharedText DNS;
  SharedText Alternate;
  std::atomic<bool> Minimize{false};
  std::atomic<int32_t> Logsize{10};
  std::atomic<bool> Logrec{false};
  std::atomic<bool> Logabo{false};
  std::atomic<bool> Logdel{false};
  std::atomic<int32_t> Input{100};
  std::atomic<int32_t> Output{100};
  // Only clients from these networks are served; the listener refuses the others.
  SharedValue<NetworkList> Allow{DefaultAllowedNetworks()};
  // Held while `SMTP` and the security values below are replaced or read as one, so that a
  // delivery never pairs a login with the TLS choice or the server of other settings (a login
  // sent in the clear, or to another server). Nothing else is taken under it.
  std::mutex securityLock;
  // How the next relay (`SMTP`) is reached: "none", "may", "starttls" or "tls"; empty
  // picks by the user and port (see NextRelaySecurityFor).
  SharedText SMTP_TLS;
  SharedText SMTP_User;
  SharedText SMTP_Password;
  // A command whose first output line is the password (or the XOAUTH2 access token).
  SharedText SMTP_PasswordCommand;
  // Empty: the best of PLAIN and LOGIN the server offers; or "XOAUTH2".
  SharedText SMTP_Auth;
  // The SHA-256 of the next relay's certificate, in place of the chain and name check.
  SharedText SMTP_Fingerprint;
  // Exchangers and `Alternate`: "none" or "may".
  SharedText MX_TLS;
  // Days a recipient may stay pending before it is given up with a notice; 0: for ever.
  std::atomic<int32_t> Lifetime{5};
};

// The program's one Settings.
Settings& TheSettings();

}  // namespace vellomar
