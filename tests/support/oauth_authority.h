#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/http_client.h"
#include "platform/stop_flag.h"
#include "sign_in/oauth_provider.h"
#include "support/child_process.h"
#include "support/test_certificates.h"

namespace vellomar::test {

// An app's RSA key and certificate, made by the openssl program: `pem` holds both (mode 0600),
// as an administrator gives them; `publicKey` and `certificate` are for the authority's checks.
struct AppKeyFiles {
  std::string pem;
  std::string key;
  std::string certificate;
  std::string publicKey;
};
AppKeyFiles MakeAppKey(const std::string& folder, const std::string& stem);
// A service account's JSON key file (mode 0600) for `key`, naming `tokenUri`.
std::string WriteServiceAccountKey(const std::string& path, const AppKeyFiles& key, const std::string& email,
                                   const std::string& tokenUri);

// The sign-in provider of our own (oauth_authority.py) on 127.0.0.1 over HTTPS, with a
// certificate for "localhost" from a test authority made in `folder`. Scripted per case with
// Set(), read with State(). Killed at destruction.
class OAuthAuthority {
 public:
  explicit OAuthAuthority(const std::string& folder);

  bool started() const { return port_ != 0; }
  // "https://localhost:<port><path>".
  std::string Url(const std::string& path) const;
  // The trust store that makes its certificate trusted.
  const std::string& authorityFile() const { return certificates_.authorityFile(); }
  // A provider whose endpoints are this server's.
  OAuthProvider Provider() const;
  // A client that trusts it, with the given whole-request time limit.
  std::shared_ptr<const HttpClient> Client(std::chrono::milliseconds whole = std::chrono::seconds(10)) const;

  // Sets how the next requests are answered (see the script's STATE).
  void Set(const FormFields& fields);
  // What it has seen; empty when it could not be asked.
  std::map<std::string, std::string> State();
  int Count(const std::string& name) { return std::atoi(State()[name].c_str()); }

 private:
  TestCertificates certificates_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
  StopFlag never_;
};

}  // namespace vellomar::test
