#include "support/oauth_authority.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/eventually.h"

namespace vellomar::test {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Openssl(const std::string& folder, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/openssl");
  ProgramOutcome outcome = RunProgram(arguments, "/dev/null", folder, 30000);
  EXPECT_EQ(outcome.status, 0) << outcome.Describe();
}

}  // namespace

AppKeyFiles MakeAppKey(const std::string& folder, const std::string& stem) {
  AppKeyFiles files{folder + "/" + stem + ".pem", folder + "/" + stem + "-key.pem", folder + "/" + stem + "-cert.pem",
                    folder + "/" + stem + "-public.pem"};
  Openssl(folder, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", files.key, "-out", files.certificate,
                   "-subj", "/CN=" + stem, "-days", "2"});
  Openssl(folder, {"pkey", "-in", files.key, "-pubout", "-out", files.publicKey});
  std::ofstream(files.pem) << Slurp(files.certificate) << Slurp(files.key);
  EXPECT_EQ(chmod(files.pem.c_str(), 0600), 0);
  return files;
}

std::string WriteServiceAccountKey(const std::string& path, const AppKeyFiles& key, const std::string& email,
                                   const std::string& tokenUri) {
  nlohmann::json json{{"type", "service_account"},
                      {"project_id", "vellomar-tests"},
                      {"private_key_id", "kid-1"},
                      {"private_key", Slurp(key.key)},
                      {"client_email", email},
                      {"client_id", "1234567890"},
                      {"token_uri", tokenUri}};
  std::ofstream(path) << json.dump(2);
  EXPECT_EQ(chmod(path.c_str(), 0600), 0);
  return path;
}

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
                       "smtp offline", "vellomar-tests",     "",                 "", false, "", "", ""};
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
