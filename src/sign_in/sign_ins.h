#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/http_client.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

class OAuthTokens;
class StopFlag;
struct Settings;

// What names one sign-in: the provider's values as stored and the mailbox signed in as.
struct SignInValues {
  OAuthSettings oauth;
  std::string mailbox;
  bool operator==(const SignInValues&) const = default;
};

// The sign-in of the next relay in a settings snapshot (SMTP_OAuth..., SMTP_User).
SignInValues NextRelaySignIn(const Settings& settings);
// The provider the values describe, or why they describe none; a sign-in needs a mailbox too.
OAuthProviderChoice SignInProvider(const SignInValues& values);
// The key a sign-in's refresh token is kept under: the provider (a custom one by its token
// endpoint), the client and the mailbox, so that changing any of them never picks up the token
// of another sign-in.
// An app-only sign-in's key is marked as such: its tokens are never a person's.
std::string SignInAccount(const OAuthProvider& provider, const std::string& mailbox);
// Whether the key names an app-only sign-in, which no person can make again.
bool IsAppOnlySignIn(const std::string& account);

// Where sign-ins keep their refresh tokens and how they reach the providers. The relay and
// `vellomar --sign-in` take the same options from the same environment, so that the token one
// stores is the one the other reads.
struct SignInOptions {
  // Whether the desktop keyring is asked; else a file of mode 0600 in the application directory.
  bool tryKeyring = false;
  std::chrono::milliseconds keyringWait{1500};
  HttpClient::Options http;

  // The keyring only in a desktop session: a session bus named in DBUS_SESSION_BUS_ADDRESS,
  // and not root. The system service has no session bus, and an administrator signing in for
  // it runs as root, so both use the file in the service's folder. SSL_CERT_FILE, when set,
  // names the authorities trusted for the providers' endpoints, as it does for the next relay.
  static SignInOptions FromEnvironment();
};

// The sign-ins of one relay: one token source (OAuthTokens) per account, made when first asked
// for and kept while the sign-ins live, so that a new settings snapshot with the same values finds
// the access token the last one got; changed values make a new one. One HTTP client serves them
// all. What a token source reports goes to the log, and a sign-in that must be made again also to
// `onNeeded` (the window's "Sign in" notice); neither ever bounces mail.
//
// Lock contract: one lock over the list, held for lookups and insertions only, never while a
// token store opens (the keyring may take its wait) or a token source works.
class SignIns {
 public:
  using NeedHandler = std::function<void(const std::string& account, const std::string& line)>;
  using Log = std::function<void(const std::string& line)>;
  // Refresh tokens kept in files go to `folder` (the relay's application directory); `stop`
  // ends every wait; `log` takes the lines to log, from any thread.
  SignIns(std::string folder, StopFlag& stop, Log log, SignInOptions options, NeedHandler onNeeded);
  ~SignIns();
  SignIns(const SignIns&) = delete;
  SignIns& operator=(const SignIns&) = delete;

  struct Choice {
    std::shared_ptr<OAuthTokens> tokens;  // null when the values describe no provider
    std::string account;
    std::string place;    // where the refresh token is kept, for people
    std::string problem;  // why there is no token source
  };
  // The token source of these values, made (its store opened, where it is kept logged) when
  // none with equal values exists yet.
  Choice For(const SignInValues& values);
  // The values of the sign-in kept under `account`, none when no such sign-in was made.
  std::optional<SignInValues> ValuesOf(const std::string& account) const;
  // Every token source reads its store again at its next use: a sign-in made by another process.
  void ReloadAll();
  // At start and after the settings changed: why the next relay's sign-in cannot be made, or
  // where its tokens are kept (said once for each token source, when it is made).
  void Announce(const Settings& settings);

  const std::shared_ptr<const HttpClient>& http() const { return http_; }

 private:
  struct Entry {
    SignInValues values;
    std::shared_ptr<OAuthTokens> tokens;
    std::string place;
  };
  std::optional<Choice> Known(const SignInValues& values, const std::string& account) const;
  Entry Make(const SignInValues& values, const OAuthProvider& provider, const std::string& account);

  const std::string folder_;
  StopFlag& stop_;
  const Log log_;
  const SignInOptions options_;
  const NeedHandler onNeeded_;
  const std::shared_ptr<const HttpClient> http_;
  mutable std::mutex lock_;
  std::map<std::string, Entry> entries_;  // by account
};

}  // namespace vellomar
