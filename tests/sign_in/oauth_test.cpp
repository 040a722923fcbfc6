#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/file_system.h"
#include "platform/stop_flag.h"
#include "sign_in/app_credentials.h"
#include "sign_in/oauth_code_flow.h"
#include "sign_in/oauth_device_flow.h"
#include "sign_in/oauth_provider.h"
#include "sign_in/oauth_tokens.h"
#include "sign_in/sign_ins.h"
#include "sign_in/token_store.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/oauth_authority.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;
using Kind = OAuthTokens::Token::Kind;
using SignIn = SignInOutcome::Kind;

class OAuthTest : public ::testing::Test {
 protected:
  OAuthTest() : authority(dir.path()) {
    store = TokenStore::Open(dir.path(), "custom/vellomar-tests/alice", false, milliseconds(1000), stop);
    EXPECT_TRUE(store->Save("rt-1"));
  }

  std::unique_ptr<OAuthTokens> Tokens(std::chrono::milliseconds whole = std::chrono::seconds(10)) {
    OAuthTokens::Options options;
    options.now = [this] { return std::chrono::steady_clock::time_point() + clock.load() * std::chrono::seconds(1); };
    return std::make_unique<OAuthTokens>(authority.Provider(), authority.Client(whole), store, stop,
                                         [this](const std::string& line) {
                                           std::lock_guard<std::mutex> guard(lock);
                                           reports.push_back(line);
                                         },
                                         options);
  }
  std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> guard(lock);
    return reports;
  }

  test::TempDir dir;
  test::OAuthAuthority authority;
  StopFlag stop;
  std::shared_ptr<TokenStore> store;
  std::atomic<long> clock{1000};  // seconds on the tokens' clock
  std::mutex lock;
  std::vector<std::string> reports;
};

OAuthSettings S(std::string provider, std::string id, std::string secret = "", std::string tenant = "",
                std::string authorize = "", std::string token = "", std::string device = "", std::string scope = "") {
  return OAuthSettings{provider, id, secret, tenant, authorize, token, device, scope, "", "", "", ""};
}

// The app-only values: a secret, a certificate file or a service account's key file.
OAuthSettings App(std::string provider, std::string id, std::string secret, std::string certificate,
                  std::string serviceAccount, std::string tenant = "", std::string token = "", std::string scope = "",
                  std::string transport = "smtp") {
  return OAuthSettings{provider, id, secret, tenant, "", token, "", scope, "app", certificate, serviceAccount,
                       transport};
}

TEST(OAuthProviderTest, PresetsAndWhatIsMissing) {
  struct Case {
    OAuthSettings settings;
    const char* tokenUrl;  // nullptr: refused
    const char* problemOrServer;
  };
  const Case cases[] = {
      {S("microsoft", "id"), "https://login.microsoftonline.com/organizations/oauth2/v2.0/token", "smtp.office365.com:587"},
      {S("Microsoft", "id", "", "contoso.onmicrosoft.com"),
       "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token", "smtp.office365.com:587"},
      {S("microsoft", "id", "", "../evil?x="), nullptr, "SMTP_OAuthTenant is not a tenant name"},
      {S("google", "id", "secret"), "https://oauth2.googleapis.com/token", "smtp.gmail.com:587"},
      {S("google", ""), nullptr, "SMTP_OAuthClientId is empty"},
      {S("", "id"), nullptr, "SMTP_OAuth is empty"},
      {S("yahoo", "id"), nullptr, "SMTP_OAuth is yahoo, not microsoft, google or custom"},
      {S("custom", "id", "", "", "", "https://id.example/token", "https://id.example/device", "smtp"),
       "https://id.example/token", ""},
      {S("custom", "id", "", "", "", "", "https://id.example/device", "smtp"), nullptr, "SMTP_OAuthTokenUrl is empty"},
      {S("custom", "id", "", "", "", "https://id.example/token", "", ""), nullptr, "SMTP_OAuthScope is empty"},
      {S("custom", "id", "", "", "", "https://id.example/token", "", "smtp"), nullptr,
       "SMTP_OAuthAuthorizeUrl and SMTP_OAuthDeviceUrl are both empty"},
      {S("custom", "id", "", "", "http://id.example/auth", "https://id.example/token", "", "smtp"), nullptr,
       "SMTP_OAuthAuthorizeUrl is not an https: address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.provider + " " + c.settings.tenant + c.settings.tokenUrl);
    OAuthProviderChoice choice = OAuthProviderFor(c.settings);
    ASSERT_EQ(choice.provider.has_value(), c.tokenUrl != nullptr) << choice.problem;
    if (!choice.provider) {
      EXPECT_EQ(choice.problem, c.problemOrServer);
      continue;
    }
    EXPECT_EQ(choice.provider->tokenUrl, c.tokenUrl);
    EXPECT_EQ(choice.provider->suggestedServer, c.problemOrServer);
  }
  OAuthProvider microsoft = *OAuthProviderFor(S("microsoft", "id")).provider;
  EXPECT_EQ(microsoft.scope, "https://outlook.office.com/SMTP.Send offline_access");
  EXPECT_EQ(microsoft.deviceUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode");
  EXPECT_EQ(OAuthProviderFor(S("google", "id")).provider->scope, "https://mail.google.com/");
}

TEST(OAuthProviderTest, AppOnlyPresetsAndWhatIsMissing) {
  struct Case {
    OAuthSettings settings;
    const char* scopeOrProblem;
    bool made;
  };
  const std::string tenantUrl = "https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token";
  const Case cases[] = {
      {App("microsoft", "id", "s", "", "", "contoso.example"), "https://outlook.office365.com/.default", true},
      {App("microsoft", "id", "", "/k.pem", "", "contoso.example", "", "", "graph"),
       "https://graph.microsoft.com/.default", true},
      {App("microsoft", "id", "s", "", "", "organizations"),
       "SMTP_OAuthTenant must name the tenant (its domain or id) for the app-only sign-in", false},
      {App("microsoft", "id", "", "", "", "contoso.example"),
       "the app-only sign-in needs SMTP_OAuthClientSecret or SMTP_OAuthCertificate", false},
      {App("microsoft", "id", "", "", "/sa.json", "contoso.example"),
       "the app-only sign-in needs SMTP_OAuthClientSecret or SMTP_OAuthCertificate", false},
      {App("microsoft", "", "s", "", "", "contoso.example"), "SMTP_OAuthClientId is empty", false},
      {App("google", "", "", "", "/sa.json"), "https://mail.google.com/", true},
      {App("google", "id", "s", "", ""),
       "SMTP_OAuthServiceAccount is empty: Google's app-only sign-in is a service account's", false},
      {App("custom", "id", "s", "", "", "", "https://id.example/token", "smtp"), "smtp", true},
      {App("custom", "", "", "", "/sa.json", "", "https://id.example/token", "smtp"), "smtp", true},
      {App("custom", "id", "s", "", "", "", "http://id.example/token", "smtp"),
       "SMTP_OAuthTokenUrl is not an https: address", false},
      {App("custom", "id", "s", "", "", "", "https://id.example/token", ""), "SMTP_OAuthScope is empty", false},
      {[] {
         OAuthSettings bad = App("custom", "id", "s", "", "", "", "https://id.example/token", "smtp");
         bad.flow = "robot";
         return bad;
       }(),
       "SMTP_OAuthFlow is robot, not user or app", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.provider + " " + c.settings.clientSecret + c.settings.certificate + c.settings.tenant);
    OAuthProviderChoice choice = OAuthProviderFor(c.settings);
    ASSERT_EQ(choice.provider.has_value(), c.made) << choice.problem;
    if (!choice.provider) {
      EXPECT_EQ(choice.problem, c.scopeOrProblem);
      continue;
    }
    EXPECT_TRUE(choice.provider->appOnly);
    EXPECT_EQ(choice.provider->scope, c.scopeOrProblem);
    EXPECT_TRUE(choice.provider->authorizeUrl.empty() && choice.provider->deviceUrl.empty());
  }
  EXPECT_EQ(OAuthProviderFor(App("microsoft", "id", "s", "", "", "contoso.example")).provider->tokenUrl, tenantUrl);
  // The certificate is the stronger proof: a secret left beside it is never sent.
  EXPECT_EQ(OAuthProviderFor(App("microsoft", "id", "s", "/k.pem", "", "contoso.example")).provider->clientSecret, "");
  // An app's tokens are kept apart from a person's sign-in of the same client and mailbox.
  SignInValues person{S("microsoft", "id", "", "contoso.example"), "alice@contoso.example"};
  SignInValues app{App("microsoft", "id", "s", "", "", "contoso.example"), "alice@contoso.example"};
  EXPECT_NE(SignInAccount(*SignInProvider(person).provider, person.mailbox),
            SignInAccount(*SignInProvider(app).provider, app.mailbox));
}

// App-only tokens from the test authority, which checks every assertion's signature against
// the app's public key, its header and its claims (aud, iss, sub, exp).
class AppSignInTest : public OAuthTest {
 protected:
  AppSignInTest() : key(test::MakeAppKey(dir.path(), "app")) {
    authority.Set({{"app_client", "vellomar-app"}, {"app_secret", "s3cret-value"}, {"app_public_key", key.publicKey},
                   {"app_certificate", key.certificate}, {"app_issuer", "relay@vellomar-tests.example"},
                   {"app_subject", "alice@example.org"}});
  }
  std::unique_ptr<OAuthTokens> AppTokens(const OAuthSettings& settings) {
    OAuthProviderChoice choice = SignInProvider(SignInValues{settings, "alice@example.org"});
    EXPECT_TRUE(choice.provider) << choice.problem;
    OAuthTokens::Options options;
    options.now = [this] { return std::chrono::steady_clock::time_point() + clock.load() * std::chrono::seconds(1); };
    return std::make_unique<OAuthTokens>(choice.provider.value_or(OAuthProvider{}), authority.Client(), nullptr, stop,
                                         [this](const std::string& line) {
                                           std::lock_guard<std::mutex> guard(lock);
                                           reports.push_back(line);
                                         },
                                         options);
  }
  OAuthSettings Custom(std::string secret, std::string certificate, std::string serviceAccount) {
    return App("custom", serviceAccount.empty() ? "vellomar-app" : "", secret, certificate, serviceAccount, "",
               authority.Url("/token"), "smtp");
  }

  test::AppKeyFiles key;
};

TEST_F(AppSignInTest, EachProofGetsATokenAndABadOneIsRefusedOnce) {
  ASSERT_TRUE(authority.started());
  const std::string account = test::WriteServiceAccountKey(dir.File("sa.json"), key, "relay@vellomar-tests.example",
                                                           authority.Url("/token"));
  test::AppKeyFiles other = test::MakeAppKey(dir.path(), "other");
  const std::string forged = test::WriteServiceAccountKey(dir.File("forged.json"), other,
                                                          "relay@vellomar-tests.example", authority.Url("/token"));
  dir.Write("loose.pem", ReadWholeFile(key.pem).value());
  ASSERT_EQ(chmod(dir.File("loose.pem").c_str(), 0644), 0);
  struct Case {
    const char* what;
    OAuthSettings settings;
    const char* scope;    // asked of the authority
    const char* refusal;  // what the one report says; nullptr: a token
  };
  const Case cases[] = {
      {"client secret", Custom("s3cret-value", "", ""), "smtp", nullptr},
      {"a wrong secret", Custom("wrong", "", ""), "smtp", "refused the app's credentials: invalid_client: wrong client secret"},
      {"certificate", Custom("", key.pem, ""), "smtp", nullptr},
      {"certificate of another key", Custom("", other.pem, ""), "smtp", "invalid_client: bad signature"},
      {"a key file others may read", Custom("", dir.File("loose.pem"), ""), "smtp",
       "may be read by others than its owner (mode 0644)"},
      {"a missing key file", Custom("", dir.File("none.pem"), ""), "smtp", "can't read "},
      {"custom service account", Custom("", "", account), "smtp", nullptr},
      {"google service account", App("google", "", "", "", account), "https://mail.google.com/", nullptr},
      {"a service account signed by another key", Custom("", "", forged), "smtp", "invalid_grant: bad signature"},
      {"not a key file", Custom("", "", key.pem), "smtp", "not a JSON key file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    authority.Set({{"app_scope", c.scope}, {"app_refusal", ""}});
    {
      std::lock_guard<std::mutex> guard(lock);
      reports.clear();
    }
    const int grants = authority.Count("app_grants");
    auto tokens = AppTokens(c.settings);
    OAuthTokens::Token token = tokens->Get();
    if (c.refusal == nullptr) {
      EXPECT_EQ(token.kind, Kind::Ready) << token.reason << " " << authority.State()["app_refusal"];
      EXPECT_EQ(token.accessToken, "at-" + std::to_string(authority.Count("issued")));
      EXPECT_EQ(authority.Count("app_grants"), grants + 1);
      EXPECT_TRUE(Reports().empty());
      continue;
    }
    EXPECT_EQ(token.kind, Kind::SignInNeeded);
    EXPECT_EQ(authority.Count("app_grants"), grants);
    EXPECT_EQ(tokens->Get().kind, Kind::SignInNeeded) << "no second request";
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_NE(Reports()[0].find(c.refusal), std::string::npos) << Reports()[0];
    EXPECT_EQ(Reports()[0].find("s3cret"), std::string::npos);
    EXPECT_EQ(Reports()[0].find("PRIVATE"), std::string::npos);
  }
}

TEST_F(AppSignInTest, RenewedBeforeExpiryAndARefusalWaitsThenTriesAgainQuietly) {
  ASSERT_TRUE(authority.started());
  auto tokens = AppTokens(Custom("", key.pem, ""));
  struct Step {
    const char* what;
    std::function<void()> act;
    Kind kind;
    int requests;  // app grants asked for by then, refused or not
    size_t reports;
  };
  auto requests = [&] { return authority.Count("app_requests"); };
  const Step steps[] = {
      {"first use", [] {}, Kind::Ready, 1, 0},
      {"still fresh", [&] { clock += 3600 - 301; }, Kind::Ready, 1, 0},
      {"within the margin: renewed", [&] { clock += 2; }, Kind::Ready, 2, 0},
      {"refused by a server: renewed", [&] { EXPECT_TRUE(tokens->Refused(tokens->Get().accessToken)); }, Kind::Ready, 3, 0},
      {"credential revoked at expiry", [&] {
         authority.Set({{"app", "unauthorized_client"}});
         clock += 3600;
       }, Kind::SignInNeeded, 4, 1},
      {"waiting: no request", [&] { clock += 300; }, Kind::SignInNeeded, 4, 1},
      {"tried again later: still refused, not said again", [&] { clock += 301; }, Kind::SignInNeeded, 5, 1},
      {"mended: a token at the next try", [&] {
         authority.Set({{"app", "ok"}});
         tokens->Reload();
       }, Kind::Ready, 6, 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    OAuthTokens::Token token = tokens->Get();
    EXPECT_EQ(token.kind, step.kind) << token.reason;
    EXPECT_EQ(requests(), step.requests);
    EXPECT_EQ(Reports().size(), step.reports);
  }
  ASSERT_FALSE(Reports().empty());
  EXPECT_EQ(Reports()[0].find("Error : " + authority.Url("").substr(8) + " refused the app's credentials: unauthorized_client"), 0u)
      << Reports()[0];
  // A client assertion goes only to the token endpoint, and each is new.
  EXPECT_EQ(authority.State()["last_form"].find("client_secret"), std::string::npos);
}

TEST_F(OAuthTest, BrowserSignInWithPkce) {
  ASSERT_TRUE(authority.started());
  struct Case {
    const char* what;
    FormFields script;
    bool browserComes;
    SignIn want;
    const char* page;  // in what the browser shows
  };
  const Case cases[] = {
      {"signed in", {}, true, SignIn::SignedIn, "Vellomar is signed in to the test authority"},
      {"an answer with another state", {{"authorize", "wrong_state"}}, true, SignIn::Refused,
       "the answer does not belong to the sign-in Vellomar started"},
      {"a verifier that does not match the challenge", {{"authorize", "ok"}, {"challenge", "wrong"}}, true,
       SignIn::Refused, "invalid_grant: PKCE verification failed"},
      {"the person says no", {{"challenge", "keep"}, {"authorize", "access_denied"}}, true, SignIn::Refused,
       "access_denied: The user said no"},
      {"no browser comes back", {}, false, SignIn::Expired, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.script.empty()) authority.Set(c.script);
    auto signIn = BrowserSignIn::Start(authority.Provider(), "alice@example.com");
    ASSERT_TRUE(signIn.ok());
    BrowserSignIn& flow = *signIn.value();
    EXPECT_EQ(flow.redirectUri().rfind("http://127.0.0.1:", 0), 0u);
    EXPECT_NE(flow.address().find("code_challenge_method=S256&login_hint=alice%40example.com"), std::string::npos);
    SignInOutcome outcome;
    std::thread waiting([&] { outcome = flow.Finish(*authority.Client(), milliseconds(c.browserComes ? 20000 : 300), stop); });
    test::ProgramOutcome browser;
    if (c.browserComes) {
      browser = test::RunProgram({"/usr/bin/curl", "-sSL", "--cacert", authority.authorityFile(), flow.address()},
                                 "/dev/null", dir.path(), 30000);
    }
    waiting.join();
    EXPECT_EQ(outcome.kind, c.want) << outcome.reason;
    EXPECT_NE(browser.out.find(c.page), std::string::npos) << browser.Describe();
    EXPECT_EQ(outcome.grant.refreshToken.empty(), c.want != SignIn::SignedIn);
    // The listener is gone: the browser's address leads nowhere now.
    test::ProgramOutcome late = test::RunProgram({"/usr/bin/curl", "-s", flow.redirectUri()}, "/dev/null", dir.path(), 10000);
    EXPECT_EQ(late.status, 7) << late.Describe();
  }
}

TEST_F(OAuthTest, DeviceSignInPollsAsAsked) {
  ASSERT_TRUE(authority.started());
  const milliseconds second(100);  // the provider's second, shortened
  struct Case {
    const char* answers;
    const char* expires;
    SignIn want;
    int polls;  // -1: as many as fit in the time
    int slowDowns;
  };
  const Case cases[] = {
      {"pending,pending,ok", "600", SignIn::SignedIn, 3, 0},
      {"slow_down,ok", "600", SignIn::SignedIn, 2, 1},
      {"pending,denied", "600", SignIn::Refused, 2, 0},
      {"pending,expired", "600", SignIn::Expired, 2, 0},
      {"pending", "3", SignIn::Expired, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers);
    authority.Set({{"device", c.answers}, {"device_expires", c.expires}, {"polls", "0"}, {"poll_times", ""}});
    DeviceCodeRequest request = RequestDeviceCode(*authority.Client(), authority.Provider(), stop);
    ASSERT_TRUE(request.ok) << request.failure.reason;
    EXPECT_EQ(request.code.userCode, "ABCD-EFGH");
    EXPECT_EQ(request.code.verificationUri, "https://127.0.0.1/device");
    SignInOutcome outcome = AwaitDeviceSignIn(*authority.Client(), authority.Provider(), request.code, stop, second);
    EXPECT_EQ(outcome.kind, c.want) << outcome.reason;
    auto state = authority.State();
    if (c.polls >= 0) {
      EXPECT_EQ(std::atoi(state["polls"].c_str()), c.polls);
    }
    // After a slow_down the next poll waits the interval and five seconds more.
    std::istringstream times(state["poll_times"]);
    std::string first, next;
    std::getline(times, first, ',');
    std::getline(times, next, ',');
    if (c.slowDowns > 0) {
      EXPECT_GE(std::atof(next.c_str()) - std::atof(first.c_str()), 0.55) << state["poll_times"];
    }
  }
  // A stop ends the polling at once.
  authority.Set({{"device", "pending"}, {"device_expires", "600"}});
  DeviceCodeRequest request = RequestDeviceCode(*authority.Client(), authority.Provider(), stop);
  std::thread stopper([&] {
    EXPECT_TRUE(test::Eventually([&] { return authority.Count("polls") > 0; }, 10000));
    stop.Set();
  });
  EXPECT_EQ(AwaitDeviceSignIn(*authority.Client(), authority.Provider(), request.code, stop, std::chrono::seconds(1)).kind,
            SignIn::Cancelled);
  stopper.join();
}

TEST_F(OAuthTest, RefreshBeforeExpiryAndOnceAfterARefusal) {
  ASSERT_TRUE(authority.started());
  auto tokens = Tokens();
  struct Step {
    const char* what;
    std::function<void()> act;
    const char* token;  // what Get() gives next
    int refreshes;      // made by then
  };
  bool refusedAgain = true;
  const Step steps[] = {
      {"first use", [] {}, "at-1", 1},
      {"still fresh", [&] { clock += 3600 - 301; }, "at-1", 1},
      {"within the margin", [&] { clock += 2; }, "at-2", 2},
      {"refused by a server", [&] { EXPECT_TRUE(tokens->Refused("at-2")); }, "at-3", 3},
      {"an older token refused: nothing to do", [&] { EXPECT_TRUE(tokens->Refused("at-2")); }, "at-3", 3},
      {"a fresh token refused too: no refresh", [&] { refusedAgain = tokens->Refused("at-3"); }, "at-3", 3},
      {"a short life: refreshed at its half", [&] {
         authority.Set({{"lifetime", "60"}});
         clock += 3600;
       }, "at-4", 4},
      {"", [&] { clock += 29; }, "at-4", 4},
      {"", [&] { clock += 2; }, "at-5", 5},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    OAuthTokens::Token token = tokens->Get();
    EXPECT_EQ(token.kind, Kind::Ready) << token.reason;
    EXPECT_EQ(token.accessToken, step.token);
    EXPECT_EQ(tokens->refreshes(), static_cast<uint64_t>(step.refreshes));
  }
  EXPECT_FALSE(refusedAgain);
  EXPECT_EQ(authority.Count("refreshes"), 5);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(OAuthTest, RefreshFailures) {
  ASSERT_TRUE(authority.started());
  struct Case {
    const char* what;
    FormFields script;
    Kind want;
    const char* reason;  // the start of the log line
    bool reportedOnce;
  };
  const Case cases[] = {
      {"revoked or lapsed", {{"refresh", "invalid_grant"}}, Kind::SignInNeeded,
       "Error : sign-in to the test authority expired: sign in again", true},
      {"a client the provider does not know", {{"refresh", "invalid_client"}}, Kind::Unavailable,
       "Error : the test authority refused to refresh the sign-in: invalid_client: AADSTS70008", false},
      {"the endpoint fails", {{"refresh", "error500"}}, Kind::Unavailable,
       "Error : can't refresh the sign-in to the test authority: HTTP status 500", false},
      {"a reply that is not JSON", {{"refresh", "garbage"}}, Kind::Unavailable,
       "Error : can't refresh the sign-in to the test authority: the reply is not a JSON object", false},
      {"the endpoint stalls", {{"refresh", "stall"}, {"stall", "5"}}, Kind::Unavailable,
       "Error : can't refresh the sign-in to the test authority: Operation timed out", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    authority.Set(c.script);
    reports.clear();
    auto tokens = Tokens(milliseconds(1500));
    for (int i = 0; i < 3; ++i) {
      OAuthTokens::Token token = tokens->Get();
      EXPECT_EQ(token.kind, c.want);
      EXPECT_EQ(token.reason.rfind(c.reason, 0), 0u) << token.reason;
    }
    // Sign-in needed: reported once and kept, without asking the endpoint again.
    EXPECT_EQ(tokens->refreshes(), c.reportedOnce ? 1u : 3u);
    EXPECT_EQ(Reports(), c.reportedOnce ? std::vector<std::string>{c.reason} : std::vector<std::string>{});
    EXPECT_EQ(tokens->SignInNeeded(), c.reportedOnce);
    if (c.reportedOnce) {
      EXPECT_TRUE(tokens->SignedIn(TokenGrant{"at-new", "rt-new", std::chrono::seconds(3600)}));
      EXPECT_EQ(tokens->Get().accessToken, "at-new");
      EXPECT_EQ(store->Load().value(), "rt-new");
      EXPECT_TRUE(store->Save("rt-1"));
    }
  }
  // Nobody listens at the endpoint.
  OAuthProvider closed = authority.Provider();
  closed.tokenUrl = "https://127.0.0.1:" + std::to_string(test::FreePort()) + "/token";
  OAuthTokens unreachable(closed, authority.Client(), store, stop, nullptr);
  OAuthTokens::Token token = unreachable.Get();
  EXPECT_EQ(token.kind, Kind::Unavailable);
  EXPECT_NE(token.reason.find("Couldn't connect to server"), std::string::npos) << token.reason;
  // Never signed in: said once.
  ASSERT_TRUE(store->Erase());
  reports.clear();
  authority.Set({{"refresh", "ok"}});
  auto tokens = Tokens();
  EXPECT_EQ(tokens->Get().kind, Kind::SignInNeeded);
  EXPECT_EQ(tokens->Get().kind, Kind::SignInNeeded);
  EXPECT_EQ(Reports(), std::vector<std::string>{"Error : not signed in to the test authority: sign in first"});
}

TEST_F(OAuthTest, ARotatedRefreshTokenIsStoredAndNothingElseHoldsIt) {
  ASSERT_TRUE(authority.started());
  authority.Set({{"refresh", "rotate"}});
  auto tokens = Tokens();
  ASSERT_EQ(tokens->Get().accessToken, "at-1");
  EXPECT_EQ(authority.State()["refresh_token"], "rt-2");
  EXPECT_EQ(store->Load().value(), "rt-2");
  ASSERT_TRUE(tokens->Refused("at-1"));
  ASSERT_EQ(tokens->Get().accessToken, "at-2");
  EXPECT_EQ(store->Load().value(), "rt-3") << "the rotated token is the one used next";
  struct stat status {};
  ASSERT_EQ(::stat(store->path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.Read(store->path().substr(dir.path().size() + 1)), "rt-3\n");
  // The token lives in that file alone (the test authority's own files aside).
  auto names = ListDirectory(dir.path());
  ASSERT_TRUE(names.ok());
  for (const std::string& name : names.value()) {
    if (name.rfind("oauth", 0) == 0 || dir.path() + "/" + name == store->path()) continue;
    EXPECT_EQ(dir.Read(name).find("rt-3"), std::string::npos) << name;
  }
  // A file left with a wider mode is replaced by one of mode 0600.
  ASSERT_TRUE(SetFileMode(store->path(), 0644));
  dir.Write(store->path().substr(dir.path().size() + 1) + ".tmp", "leftover");
  ASSERT_TRUE(SetFileMode(store->path() + ".tmp", 0666));
  ASSERT_TRUE(store->Save("rt-9"));
  ASSERT_EQ(::stat(store->path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(OAuthTest, OneRefreshForAHundredThreadsAndAStopEndsIt) {
  ASSERT_TRUE(authority.started());
  auto tokens = Tokens();
  std::vector<std::thread> deliveries;
  std::vector<std::string> got(100);
  for (size_t i = 0; i < got.size(); ++i) {
    deliveries.emplace_back([&, i] { got[i] = tokens->Get().accessToken; });
  }
  for (std::thread& delivery : deliveries) delivery.join();
  EXPECT_EQ(got, std::vector<std::string>(100, "at-1"));
  EXPECT_EQ(tokens->refreshes(), 1u);
  EXPECT_EQ(authority.Count("refreshes"), 1);

  // A stalled refresh: the stop ends it, and the threads waiting for it, at once.
  authority.Set({{"refresh", "stall"}, {"stall", "20"}});
  ASSERT_TRUE(tokens->Refused("at-1"));
  std::vector<Kind> kinds(10);
  deliveries.clear();
  for (size_t i = 0; i < kinds.size(); ++i) deliveries.emplace_back([&, i] { kinds[i] = tokens->Get().kind; });
  EXPECT_TRUE(test::Eventually([&] { return authority.Count("refreshes") == 2; }, 10000));
  auto stopped = std::chrono::steady_clock::now();
  stop.Set();
  for (std::thread& delivery : deliveries) delivery.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, milliseconds(1000));
  EXPECT_EQ(kinds, std::vector<Kind>(10, Kind::Cancelled));
}

TEST_F(OAuthTest, TheStoreFallsBackToAFileWithoutKeyring) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.File("no-bus")).c_str(), 1);
  auto started = std::chrono::steady_clock::now();
  auto fallback = TokenStore::Open(dir.path(), "custom/vellomar-tests/alice", true, milliseconds(2000), stop);
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  EXPECT_EQ(fallback->place(), TokenStore::Place::File);
  EXPECT_EQ(fallback->Description(), "the file " + store->path());
  EXPECT_EQ(fallback->Load().value(), "rt-1");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST_F(OAuthTest, TheKeyringKeepsTheTokenWhenOneAnswers) {
  // A session bus and a keyring of the test's own, unlocked with a password on its input.
  dir.Write("bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>session</type>"
            "<listen>unix:path=" + dir.File("bus") + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
            "</policy></busconfig>\n");
  dir.Write("password", "test password");
  ASSERT_TRUE(MakeDirectories(dir.File("data/keyrings")));
  const std::map<std::string, std::string> session{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.File("bus")},
                                                   {"HOME", dir.path()}, {"XDG_RUNTIME_DIR", dir.path()},
                                                   {"XDG_DATA_HOME", dir.File("data")}};
  test::ChildProcess bus({"/usr/bin/dbus-daemon", "--config-file=" + dir.File("bus.conf"), "--nofork", "--nopidfile"},
                         session, "/dev/null", dir.File("bus.out"), dir.File("bus.err"));
  ASSERT_TRUE(test::Eventually([&] { return dir.Exists("bus"); }, 10000)) << dir.Read("bus.err");
  test::ChildProcess keyring({"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                             session, dir.File("password"), dir.File("keyring.out"), dir.File("keyring.err"));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", session.at("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
  std::shared_ptr<TokenStore> kept;
  ASSERT_TRUE(test::Eventually([&] {
    kept = TokenStore::Open(dir.path(), "custom/vellomar-tests/alice", true, milliseconds(2000), stop);
    return kept->place() == TokenStore::Place::Keyring;
  }, 20000)) << dir.Read("keyring.err");
  EXPECT_EQ(kept->Description(), "the desktop keyring");
  EXPECT_TRUE(dir.Exists(store->path().substr(dir.path().size() + 1)));
  EXPECT_EQ(kept->Load().value(), "rt-1") << "a token from a run without keyring";
  EXPECT_FALSE(dir.Exists(store->path().substr(dir.path().size() + 1))) << "moved into the keyring";
  EXPECT_EQ(kept->Load().value(), "rt-1");
  ASSERT_TRUE(kept->Save("rt-2"));
  EXPECT_EQ(kept->Load().value(), "rt-2");
  ASSERT_TRUE(kept->Erase());
  EXPECT_EQ(kept->Load().error(), ENOENT);
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace vellomar
