#include "support/oauth_authority.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/eventually.h"

namespace vellomar::test {

OAuthAuthority::OAuthAuthority(const std::string& folder) : certificates_(folder, "oauth") {
  CertificateFiles localhost = certificates_.Issue("oauth-localhost", "localhost");
  const std::string portFile = folder + "/oauth-port";
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/python3", std::string(VELLOMAR_TEST_SUPPORT_DIR) + "/oauth_authority.py",
                               "--certificate", localhost.certificate, "--key", localhost.key, "--port-file",
                               portFile},
      std::map<std::string, std::string>{}, "/dev/null", folder + "/oauth.out", folder + "/oauth.err");
  bool published = Eventually([&] { return std::ifstream(portFile).good(); }, 20000);
  EXPECT_TRUE(published) << "the test authority did not start";
  if (published) std::ifstream(portFile) >> port_;
}

std::string OAuthAuthority::Url(const std::string& path) const {
  return "https://localhost:" + std::to_string(port_) + path;
}

OAuthProvider OAuthAuthority::Provider() const {
  return OAuthProvider{"custom",       "the test authority", Url("/authorize"), Url("/token"), Url("/device"),
                       "smtp offline", "vellomar-tests",     "",                 ""};
}

std::shared_ptr<const HttpClient> OAuthAuthority::Client(std::chrono::milliseconds whole) const {
  HttpClient::Options options;
  options.authorityFile = authorityFile();
  options.connect = std::chrono::seconds(5);
  options.whole = whole;
  return std::make_shared<HttpClient>(options);
}

void OAuthAuthority::Set(const FormFields& fields) {
  HttpResult result = Client()->PostForm(Url("/control"), fields, never_);
  EXPECT_TRUE(result.ok() && result.status == 200) << result.reason;
}

std::map<std::string, std::string> OAuthAuthority::State() {
  HttpResult result = Client()->PostForm(Url("/state"), {}, never_);
  EXPECT_TRUE(result.ok() && result.status == 200) << result.reason;
  std::map<std::string, std::string> state;
  for (auto& [name, value] : DecodeForm(result.body)) state[name] = value;
  return state;
}

}  // namespace vellomar::test
