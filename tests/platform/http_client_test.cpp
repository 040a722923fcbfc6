#include "platform/http_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/stop_flag.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/oauth_authority.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;

TEST(HttpClientTest, RepliesAndWhyThereIsNone) {
  test::TempDir dir;
  test::OAuthAuthority authority(dir.path());
  ASSERT_TRUE(authority.started());
  test::TestCertificates stranger(dir.path(), "stranger");
  authority.Set({{"stall", "5"}});
  const std::string trusted = authority.authorityFile();
  struct Case {
    const char* what;
    std::string url;
    std::string authorityFile;
    long status;
    int error;
    const char* inBody;
  };
  const Case cases[] = {
      {"fields escaped and read back", authority.Url("/echo"), trusted, 200, 0,
       R"({"name with space": "a&b=c/\u00e9+%"})"},
      {"a redirect is a reply, never followed", authority.Url("/redirect"), trusted, 302, 0, "{}"},
      {"a reply past the size limit", authority.Url("/big"), trusted, 0, EFBIG, ""},
      {"a certificate from an authority not trusted", authority.Url("/echo"), stranger.authorityFile(), 0, EPROTO, ""},
      {"the system's store does not know the test authority", authority.Url("/echo"), "", 0, EPROTO, ""},
      {"never plain http", "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/echo", trusted, 0, EPROTO, ""},
      {"nobody listens", "https://127.0.0.1:" + std::to_string(test::FreePort()) + "/", trusted, 0, ECONNREFUSED, ""},
      {"a reply that stalls past the whole limit", authority.Url("/stall"), trusted, 0, ETIMEDOUT, ""},
  };
  StopFlag stop;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Only the stall meets the short limit: a loaded machine must not make the others miss it.
    const milliseconds whole(c.error == ETIMEDOUT ? 1500 : 10000);
    HttpClient client({milliseconds(5000), whole, 64 * 1024, c.authorityFile});
    auto started = std::chrono::steady_clock::now();
    HttpResult result = client.PostForm(c.url, {{"name with space", "a&b=c/\xc3\xa9+%"}}, stop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, whole + milliseconds(2500)) << "bounded by the limits";
    EXPECT_EQ(result.error, c.error) << result.reason;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.body, c.inBody);
    EXPECT_EQ(result.reason.empty(), c.error == 0) << result.reason;
  }
}

TEST(HttpClientTest, AStopEndsARequestAtOnce) {
  test::TempDir dir;
  test::OAuthAuthority authority(dir.path());
  ASSERT_TRUE(authority.started());
  authority.Set({{"stall", "20"}});
  HttpClient client({milliseconds(5000), milliseconds(30000), 1024, authority.authorityFile()});
  StopFlag stop;
  HttpResult result;
  std::thread request([&] { result = client.PostForm(authority.Url("/stall"), {{"case", "stop"}}, stop); });
  // The server holds the request: the client waits for its reply.
  EXPECT_TRUE(test::Eventually([&] { return authority.State()["last_form"] == "case=stop"; }, 10000));
  auto stopped = std::chrono::steady_clock::now();
  stop.Set();
  request.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, milliseconds(1000));
  EXPECT_EQ(result.error, ECANCELED);
}

TEST(HttpClientTest, FormsBothWays) {
  EXPECT_EQ(EncodeForm({{"a b", "c&d=\xc3\xa9"}, {"scope", "https://x/y z"}, {"", ""}}),
            "a%20b=c%26d%3D%C3%A9&scope=https%3A%2F%2Fx%2Fy%20z&=");
  struct Case {
    const char* text;
    FormFields fields;
  };
  const Case cases[] = {
      {"code=a%2Fb&state=x+y", {{"code", "a/b"}, {"state", "x y"}}},
      {"flag&&empty=", {{"flag", ""}, {"empty", ""}}},
      {"", {}},
      {"e=%C3%A9%3D", {{"e", "\xc3\xa9="}}},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeForm(c.text), c.fields) << c.text;
}

}  // namespace
}  // namespace vellomar
