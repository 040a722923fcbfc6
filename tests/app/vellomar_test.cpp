// The real program, started from a temporary application directory and driven over SMTP.
#include <gtest/gtest.h>
#include <signal.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/version.h"
#include "platform/tls_stream.h"
#include "platform/file_system.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/link_racer.h"
#include "support/loopback.h"
#include "support/oauth_authority.h"
#include "support/smtp_peer.h"
#include "support/smtp_test_client.h"
#include "support/test_certificates.h"
#include "support/temp_dir.h"
#include "vellomar_fixture.h"

namespace vellomar {
namespace {

using test::Eventually;
using test::SmtpPeer;
using test::SmtpTestClient;

using test::VellomarTest;

const std::string kComplete = "HELO a\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\nSubject: old\r\n\r\nx\r\n.\r\nQUIT\r\n";

TEST_F(VellomarTest, FirstStartAndShutdownInTheirOrder) {
  Start();
  ASSERT_TRUE(Eventually([this] { return Log().find("Client stopped: no files left.\r\n") != std::string::npos; }));
  EXPECT_TRUE(InOrder(Log(), {"Initializing...\r\n", "Server starting...\r\n", "Client starting...\r\n"}));
  EXPECT_TRUE(InOrder(Log(), {"Client started.\r\n", "Client stopped: no files left.\r\n"}));
  EXPECT_EQ(dir_.Read("store/HKEY_LOCAL_MACHINE.ini"), "[Software\\Vellomar]\nLogsize=10\nInput=100\nOutput=100\nLifetime=5\n");
  EXPECT_EQ(dir_.Read("stderr"), "Vellomar: You must give some configuration information first.\n");
  EXPECT_EQ(Stop(), 0);
  const std::string shutdown[] = {"Client terminated.", "Server terminated.", "Input threads deleted.",
                                  "Output threads deleted.", "File list now empty."};
  std::vector<std::string> lines;
  for (const std::string& line : shutdown) lines.push_back(" : " + line + "\r\n");
  EXPECT_TRUE(InOrder(Log(), lines)) << Log();
  // Standard output carries the same notifications as the log file.
  std::vector<std::string> echoed;
  for (const std::string& line : shutdown) echoed.push_back(" : " + line + "\n");
  EXPECT_TRUE(InOrder(dir_.Read("stdout"), echoed)) << dir_.Read("stdout");
}

// It maps no library it does not use: none of a display's, nor the sign-in's (libcurl and what
// it brings) or the keyring's (libsecret, GLib), which are loaded only when a sign-in needs them.
TEST_F(VellomarTest, ASubmittedMessageIsDeliveredAndItsSpoolFileGoes) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure("SMTP=" + peer.server() + "\n");
  Start();
  Submit(1);
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1 && SpoolFiles().empty(); }))
      << peer.Connections() << " connections; the log:\n" << Log();
  auto transcript = peer.Transcripts()[0];
  EXPECT_EQ(transcript.front(), "HELO client1\r\n");
  EXPECT_EQ(transcript.back(), "QUIT\r\n");
  const std::string maps = Maps();
  EXPECT_NE(maps.find("libssl.so"), std::string::npos) << maps;
  for (const char* library : {"libQt6", "libX11", "libxcb", "libcurl", "libgnutls", "libsecret", "libglib", "libgio"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library << " is mapped";
  }
  EXPECT_EQ(Stop(), 0);
}

// An independent server (Debian's aiosmtpd) that requires STARTTLS and a login takes a
// message through the program, with the certificate checked against a test authority.
TEST_F(VellomarTest, AServerThatRequiresTlsAndALoginTakesTheMessage) {
  test::TestCertificates authority(dir_.path(), "relay");
  const test::CertificateFiles certificate = authority.Issue("localhost", "localhost");
  const int relayPort = test::FreePort();
  test::ChildProcess relay(std::string(VELLOMAR_TEST_SUPPORT) + "/aiosmtpd_relay.py",
                           {{"RELAY_PORT", std::to_string(relayPort)},
                            {"RELAY_CERT", certificate.certificate},
                            {"RELAY_KEY", certificate.key},
                            {"RELAY_USER", "alice"},
                            {"RELAY_PASSWORD", "pa ss:word"},
                            {"RELAY_MAILBOX", dir_.File("mailbox")},
                            {"RELAY_READY", dir_.File("relay-ready")}},
                           dir_.File("relay-stdout"), dir_.File("relay-stderr"));
  ASSERT_TRUE(relay.started());
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(dir_.File("relay-ready")); }, 20000))
      << dir_.Read("relay-stderr");
  Configure("SMTP=localhost:" + std::to_string(relayPort) +
            "\nSMTP_TLS=starttls\nSMTP_User=alice\nSMTP_Password=pa ss:word\nLogsize=10\nInput=100\nOutput=100\n");
  ASSERT_TRUE(SetFileMode(dir_.File("store/HKEY_LOCAL_MACHINE.ini"), 0644));
  ASSERT_TRUE(relay_.Start({{"SSL_CERT_FILE", authority.authorityFile()}}));
  // A strict server takes lines of at most 1000 bytes.
  Submit(1, "Hello over TLS.");
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(dir_.File("mailbox")) && SpoolFiles().empty(); }))
      << Log() << dir_.Read("relay-stderr");
  const std::string mailbox = dir_.Read("mailbox");
  EXPECT_EQ(mailbox.substr(0, mailbox.find("Received:")),
            "FROM a@example.org\nTO b1@example.org\nTLS True\nAUTHENTICATED True\n");
  EXPECT_NE(mailbox.find("Subject: number 1\r\n"), std::string::npos) << mailbox;
  struct stat store {};
  ASSERT_EQ(::stat(dir_.File("store/HKEY_LOCAL_MACHINE.ini").c_str(), &store), 0);
  EXPECT_EQ(store.st_mode & 0777, 0600u) << "a store that holds a password is the user's alone";
  EXPECT_EQ(Stop(), 0);
}

// Signed in once with `vellomar --sign-in --device` against the test authority, the program
// logs in to aiosmtpd with XOAUTH2 over STARTTLS, refreshing the token itself. Once the sign-in
// is revoked the mail waits: "sign-in ... expired" once, no notice. A new sign-in, told to the
// running program, sends it. No token ever reaches the log or a spool file.
TEST_F(VellomarTest, ASignInLogsInWithItsTokensAndAnExpiredOneKeepsTheMailWaiting) {
  ASSERT_TRUE(MakeDirectories(dir_.File("keys")));
  test::OAuthAuthority authority(dir_.File("keys"));
  ASSERT_TRUE(authority.started());
  test::TestCertificates relayAuthority(dir_.File("keys"), "relay");
  const test::CertificateFiles certificate = relayAuthority.Issue("localhost", "localhost");
  dir_.Write("keys/trusted.pem", ReadWholeFile(authority.authorityFile()).value() +
                                     ReadWholeFile(relayAuthority.authorityFile()).value());
  const int relayPort = test::FreePort();
  test::ChildProcess relay(std::string(VELLOMAR_TEST_SUPPORT) + "/aiosmtpd_relay.py",
                           {{"RELAY_PORT", std::to_string(relayPort)}, {"RELAY_CERT", certificate.certificate},
                            {"RELAY_KEY", certificate.key}, {"RELAY_USER", "alice@example.org"},
                            {"RELAY_TOKEN_CHECK", authority.Url("/introspect")},
                            {"RELAY_AUTHORITY", authority.authorityFile()}, {"RELAY_MAILBOX", dir_.File("mailbox")},
                            {"RELAY_READY", dir_.File("relay-ready")}},
                           dir_.File("relay-stdout"), dir_.File("relay-stderr"));
  ASSERT_TRUE(Eventually([&] { return dir_.Exists("relay-ready"); }, 20000)) << dir_.Read("relay-stderr");
  Configure("SMTP=localhost:" + std::to_string(relayPort) + "\nSMTP_User=alice@example.org\nSMTP_OAuth=custom\n" +
            "SMTP_OAuthClientId=vellomar-tests\nSMTP_OAuthTokenUrl=" + authority.Url("/token") +
            "\nSMTP_OAuthDeviceUrl=" + authority.Url("/device") + "\nSMTP_OAuthScope=smtp offline\n" +
            // A session per message: the revocation below meets the next message's login, not a
            // session that logged in before it and was kept open.
            "MessagesPerConnection=1\n");
  const std::map<std::string, std::string> trusting{{"SSL_CERT_FILE", dir_.File("keys/trusted.pem")},
                                                    {"DBUS_SESSION_BUS_ADDRESS", ""}};
  auto signIn = RunCommand({"--sign-in", "--device"}, trusting);
  ASSERT_EQ(signIn.status, 0) << signIn.err;
  EXPECT_NE(signIn.out.find("open https://127.0.0.1/device and enter the code ABCD-EFGH"), std::string::npos);
  EXPECT_NE(signIn.out.find("The sign-in is kept in the file " + dir_.path() + "/signin-"), std::string::npos);
  ASSERT_TRUE(relay_.Start(trusting));
  Submit(1, "Hello with a token.");
  ASSERT_TRUE(Eventually([&] { return dir_.Exists("mailbox") && SpoolFiles().empty(); })) << Log();
  const std::string mailbox = dir_.Read("mailbox");
  EXPECT_EQ(mailbox.substr(0, mailbox.find("Received:")),
            "FROM a@example.org\nTO b1@example.org\nTLS True\nAUTHENTICATED True\n");
  const std::string provider = authority.Url("").substr(std::string("https://").size());  // localhost:<port>
  EXPECT_NE(Log().find("Sign-in tokens for " + provider + " are kept in the file " + dir_.path() + "/signin-"), std::string::npos);
  EXPECT_NE(Maps().find("libcurl.so"), std::string::npos) << "the sign-in's library, loaded for the refresh";

  authority.Set({{"revoked", "1"}});
  Submit(2, "Waiting for a sign-in.");
  const std::string expired = "Error : sign-in to " + provider + " expired: sign in again\r\n";
  ASSERT_TRUE(Eventually([&] { return Log().find(expired) != std::string::npos; })) << Log() << dir_.Read("mailbox.auth");
  size_t before = Log().size();
  EXPECT_EQ(RunCommand({"--deliver-now"}).status, 0);
  ASSERT_TRUE(Eventually([&] { return Log().find("Client stopped: no files left.", before) != std::string::npos; }));
  EXPECT_EQ(Log().find(expired, Log().find(expired) + 1), std::string::npos) << "said once";
  ASSERT_EQ(SpoolFiles().size(), 1u) << "waiting, and no notice";
  const std::string waiting = dir_.Read(SpoolFiles()[0]);
  EXPECT_NE(dir_.Read("stderr").find("run 'vellomar --sign-in'"), std::string::npos) << dir_.Read("stderr");

  authority.Set({{"revoked", "0"}});
  auto again = RunCommand({"--sign-in", "--device"}, trusting);
  EXPECT_NE(again.out.find("Told the running Vellomar"), std::string::npos) << again.out << again.err;
  ASSERT_TRUE(Eventually([&] { return SpoolFiles().empty(); })) << Log();
  EXPECT_NE(dir_.Read("mailbox").find("TO b2@example.org\n"), std::string::npos);
  // Device sign-in at-1, refreshed at-2; refused once revoked (no second try: the refresh said
  // "sign in again"); signed in again (at-3), which the running program read and refreshed.
  EXPECT_EQ(dir_.Read("mailbox.auth"), "XOAUTH2 at-2 taken\nXOAUTH2 at-2 refused\nXOAUTH2 at-4 taken\n");
  const int issued = authority.Count("issued");
  for (const std::string& text : {Log(), dir_.Read("stdout"), waiting}) {
    for (int n = 1; n <= issued + 1; ++n) {
      EXPECT_EQ(text.find("at-" + std::to_string(n)), std::string::npos) << n;
      EXPECT_EQ(text.find("rt-" + std::to_string(n)), std::string::npos) << n;
    }
  }
  EXPECT_EQ(Stop(), 0);
}

// An app-only sign-in with a certificate: no one signs in, `--sign-in --check` tries the
// credentials, the program gets its own tokens for XOAUTH2; a credential the authority refuses
// keeps the mail waiting with one line until a check that works tells the program to go on.
// Neither a token, nor the assertion, nor the key ever reaches the log, the output or a spool
// file; a key file others may read is refused.
TEST_F(VellomarTest, AnAppOnlySignInGetsItsOwnTokensAndARefusedOneKeepsTheMailWaiting) {
  ASSERT_TRUE(MakeDirectories(dir_.File("keys")));
  test::OAuthAuthority authority(dir_.File("keys"));
  ASSERT_TRUE(authority.started());
  const test::AppKeyFiles key = test::MakeAppKey(dir_.File("keys"), "app");
  authority.Set({{"app_client", "vellomar-app"}, {"app_public_key", key.publicKey},
                 {"app_certificate", key.certificate}, {"app_scope", "smtp"}});
  test::TestCertificates relayAuthority(dir_.File("keys"), "relay");
  const test::CertificateFiles certificate = relayAuthority.Issue("localhost", "localhost");
  dir_.Write("keys/trusted.pem", ReadWholeFile(authority.authorityFile()).value() +
                                     ReadWholeFile(relayAuthority.authorityFile()).value());
  const int relayPort = test::FreePort();
  test::ChildProcess relay(std::string(VELLOMAR_TEST_SUPPORT) + "/aiosmtpd_relay.py",
                           {{"RELAY_PORT", std::to_string(relayPort)}, {"RELAY_CERT", certificate.certificate},
                            {"RELAY_KEY", certificate.key}, {"RELAY_USER", "alice@example.org"},
                            {"RELAY_TOKEN_CHECK", authority.Url("/introspect")},
                            {"RELAY_AUTHORITY", authority.authorityFile()}, {"RELAY_MAILBOX", dir_.File("mailbox")},
                            {"RELAY_READY", dir_.File("relay-ready")}},
                           dir_.File("relay-stdout"), dir_.File("relay-stderr"));
  ASSERT_TRUE(Eventually([&] { return dir_.Exists("relay-ready"); }, 20000)) << dir_.Read("relay-stderr");
  Configure("SMTP=localhost:" + std::to_string(relayPort) + "\nSMTP_User=alice@example.org\nSMTP_OAuth=custom\n" +
            "SMTP_OAuthFlow=app\nSMTP_OAuthClientId=vellomar-app\nSMTP_OAuthCertificate=" + key.pem +
            "\nSMTP_OAuthTokenUrl=" + authority.Url("/token") + "\nSMTP_OAuthScope=smtp\nMessagesPerConnection=1\n");
  const std::map<std::string, std::string> trusting{{"SSL_CERT_FILE", dir_.File("keys/trusted.pem")},
                                                    {"DBUS_SESSION_BUS_ADDRESS", ""}};
  auto nothing = RunCommand({"--sign-in"}, trusting);
  EXPECT_EQ(nothing.status, 0);
  EXPECT_NE(nothing.out.find("there is nobody to sign in"), std::string::npos) << nothing.out;
  EXPECT_NE(nothing.out.find("vellomar --sign-in --check"), std::string::npos) << nothing.out;
  auto check = RunCommand({"--sign-in", "--check"}, trusting);
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("works: it gave an access token for smtp."), std::string::npos) << check.out;
  ASSERT_TRUE(relay_.Start(trusting));
  Submit(1, "Hello from the app.");
  ASSERT_TRUE(Eventually([&] { return dir_.Exists("mailbox") && SpoolFiles().empty(); })) << Log();
  EXPECT_NE(dir_.Read("mailbox").find("AUTHENTICATED True\n"), std::string::npos);

  authority.Set({{"app", "unauthorized_client"}});
  ASSERT_TRUE(authority.Count("app_grants") >= 2);
  // The token in hand is dropped, as a revoked credential's tokens are.
  authority.Set({{"revoked", "1"}});
  Submit(2, "Waiting for the app's credentials.");
  const std::string provider = authority.Url("").substr(std::string("https://").size());
  const std::string refused = "Error : " + provider + " refused the app's credentials: unauthorized_client";
  ASSERT_TRUE(Eventually([&] { return Log().find(refused) != std::string::npos; })) << Log();
  size_t before = Log().size();
  EXPECT_EQ(RunCommand({"--deliver-now"}).status, 0);
  ASSERT_TRUE(Eventually([&] { return Log().find("Client stopped: no files left.", before) != std::string::npos; }));
  EXPECT_EQ(Log().find(refused, Log().find(refused) + 1), std::string::npos) << "said once";
  ASSERT_EQ(SpoolFiles().size(), 1u) << "waiting, and no notice";
  const std::string waiting = dir_.Read(SpoolFiles()[0]);
  EXPECT_NE(dir_.Read("stderr").find("work again: 'vellomar --sign-in --check' tries them"), std::string::npos)
      << dir_.Read("stderr");
  EXPECT_EQ(dir_.Read("stderr").find("run 'vellomar --sign-in'"), std::string::npos) << "nobody to sign in";
  auto failing = RunCommand({"--sign-in", "--check"}, trusting);
  EXPECT_EQ(failing.status, 1);
  EXPECT_NE(failing.err.find("does not work: " + provider + " refused the app's credentials"), std::string::npos)
      << failing.err;

  authority.Set({{"app", "ok"}, {"revoked", "0"}});
  auto mended = RunCommand({"--sign-in", "--check"}, trusting);
  EXPECT_NE(mended.out.find("Told the running Vellomar"), std::string::npos) << mended.out << mended.err;
  ASSERT_TRUE(Eventually([&] { return SpoolFiles().empty(); })) << Log();
  EXPECT_NE(dir_.Read("mailbox").find("TO b2@example.org\n"), std::string::npos);

  ASSERT_EQ(chmod(key.pem.c_str(), 0640), 0);
  auto loose = RunCommand({"--sign-in", "--check"}, trusting);
  EXPECT_EQ(loose.status, 1);
  EXPECT_NE(loose.err.find(key.pem + " may be read by others than its owner (mode 0640)"), std::string::npos)
      << loose.err;
  const std::string assertion = authority.State()["last_assertion"];
  ASSERT_GT(assertion.size(), 100u);
  const int issued = authority.Count("issued");
  for (const std::string& text : {Log(), dir_.Read("stdout"), dir_.Read("stderr"), waiting, check.out, mended.out}) {
    for (int n = 1; n <= issued + 1; ++n) EXPECT_EQ(text.find("at-" + std::to_string(n)), std::string::npos) << n;
    EXPECT_EQ(text.find("eyJ"), std::string::npos) << "no JWT";
    EXPECT_EQ(text.find(assertion.substr(assertion.size() - 40)), std::string::npos) << "no signature";
    EXPECT_EQ(text.find("PRIVATE KEY"), std::string::npos);
  }
  EXPECT_EQ(Stop(), 0);
}

// The office whose tenant takes no SMTP, as its administrator sets it up: a printer logs in over
// STARTTLS on the submission port, the relay signs in as an application with a certificate and
// hands the message to Microsoft Graph (the stand-in); the envelope recipient the header leaves
// out gets it through a Bcc: added for the call only. A 503 with Retry-After keeps the next
// message waiting across a restart, and then it goes out once; so do two hundred more across
// another. No token, assertion or key is left in the log, the output or a spool file.
TEST_F(VellomarTest, AnOfficeWithoutSmtpSendsThroughGraphWithAnAppOnlyCertificate) {
  ASSERT_TRUE(MakeDirectories(dir_.File("keys")));
  test::OAuthAuthority authority(dir_.File("keys"));
  ASSERT_TRUE(authority.started());
  const test::AppKeyFiles key = test::MakeAppKey(dir_.File("keys"), "app");
  const std::string scope = "https://graph.microsoft.com/.default";
  authority.Set({{"app_client", "vellomar-app"}, {"app_public_key", key.publicKey},
                 {"app_certificate", key.certificate}, {"app_scope", scope}});
  dir_.Write("password.in", "scan to mail 1\n");
  test::ChildProcess add({dir_.File("vellomar"), "--add-user", "printer"}, Environment(), dir_.File("password.in"),
                         dir_.File("add.out"), dir_.File("add.err"));
  ASSERT_EQ(add.WaitExit(20000).value_or(-1), 0) << dir_.Read("add.err");
  Configure("TLS_Certificate=self\nTransport=graph\nGraphUrl=" + authority.Url("/graph/v1.0") +
            "\nSMTP_User=scanner@contoso.example\nSMTP_OAuth=custom\nSMTP_OAuthFlow=app\n"
            "SMTP_OAuthClientId=vellomar-app\nSMTP_OAuthCertificate=" + key.pem +
            "\nSMTP_OAuthTokenUrl=" + authority.Url("/token") + "\nSMTP_OAuthScope=" + scope + "\n");
  const std::map<std::string, std::string> trusting{{"SSL_CERT_FILE", authority.authorityFile()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", ""}};
  auto check = RunCommand({"--sign-in", "--check"}, trusting);
  ASSERT_EQ(check.status, 0) << check.err;
  ASSERT_TRUE(relay_.Start(trusting));
  auto print = [&](const std::string& subject) {
    test::ChildProcess swaks({"/usr/bin/swaks", "--server", "127.0.0.1", "--port", std::to_string(port_), "--helo",
                              "printer.office", "--from", "printer@office.example", "--to",
                              "desk@office.example,archive@office.example", "--header", "To: desk@office.example",
                              "--header", "Subject: " + subject, "--body", "Scanned page.", "--tls", "--auth",
                              "PLAIN", "--auth-user", "printer", "--auth-password", "scan to mail 1", "--timeout",
                              "15"},
                             trusting, "/dev/null", dir_.File("swaks.out"), dir_.File("swaks.err"));
    EXPECT_EQ(swaks.WaitExit(30000).value_or(-1), 0) << dir_.Read("swaks.out") << dir_.Read("swaks.err");
  };
  print("scan 1");
  ASSERT_TRUE(Eventually([&] { return SpoolFiles().empty() && authority.State()["graph_sent"] != ""; })) << Log();
  EXPECT_EQ(authority.State()["graph_sent"],
            "scanner@contoso.example|scan 1|desk@office.example,archive@office.example;");
  EXPECT_NE(authority.State()["graph_last_header"].find("Bcc: archive@office.example\r\n"), std::string::npos);

  authority.Set({{"graph", "503,503,503,503,503,503"}, {"retry_after", "1"}});
  print("scan 2");
  ASSERT_TRUE(Eventually([&] { return authority.Count("graph_calls") >= 2; })) << Log();
  // Asked to go on, it tries again at once: a person is not held to the service's Retry-After.
  EXPECT_EQ(RunCommand({"--deliver-now"}).status, 0);
  ASSERT_TRUE(Eventually([&] { return authority.Count("graph_calls") >= 3; })) << Log();
  ASSERT_EQ(SpoolFiles().size(), 1u);
  const std::string waiting = dir_.Read(SpoolFiles()[0]);
  EXPECT_EQ(waiting.find("Bcc:"), std::string::npos) << "the spool keeps the message as it came";
  EXPECT_EQ(Stop(), 0);
  authority.Set({{"graph", ""}});
  ASSERT_TRUE(relay_.Start(trusting));
  ASSERT_TRUE(Eventually([&] { return SpoolFiles().empty(); }, 60000)) << Log();
  const std::string sent = authority.State()["graph_sent"];
  EXPECT_EQ(sent.find("scan 2"), sent.rfind("scan 2")) << "once: " << sent;
  EXPECT_NE(sent.find("scanner@contoso.example|scan 2|desk@office.example,archive@office.example;"), std::string::npos)
      << sent;

  // Two hundred more, the relay stopped and started again while they go out: each goes once.
  for (int i = 100; i < 300; ++i) Submit(i, "Page " + std::to_string(i) + ".");
  ASSERT_TRUE(Eventually([&] { return authority.Count("graph_calls") >= 60; })) << Log();
  EXPECT_EQ(Stop(), 0);
  ASSERT_TRUE(relay_.Start(trusting));
  ASSERT_TRUE(Eventually([&] { return SpoolFiles().empty(); }, 60000)) << Log();
  const std::string all = authority.State()["graph_sent"];
  for (int i = 100; i < 300; ++i) {
    const std::string entry = "|number " + std::to_string(i) + "|b" + std::to_string(i) + "@example.org;";
    const size_t first = all.find(entry);
    EXPECT_NE(first, std::string::npos) << i << " lost";
    EXPECT_EQ(first, all.rfind(entry)) << i << " twice";
  }
  const std::string assertion = authority.State()["last_assertion"];
  ASSERT_GT(assertion.size(), 100u);
  for (const std::string& text : {Log(), dir_.Read("stdout"), dir_.Read("stderr"), waiting, check.out}) {
    EXPECT_EQ(text.find("at-1"), std::string::npos);
    EXPECT_EQ(text.find("eyJ"), std::string::npos) << "no JWT";
    EXPECT_EQ(text.find(assertion.substr(assertion.size() - 40)), std::string::npos) << "no signature";
    EXPECT_EQ(text.find("PRIVATE KEY"), std::string::npos);
  }
  EXPECT_EQ(Stop(), 0);
}

TEST_F(VellomarTest, MessagesAcknowledgedOnOneConnectionAreDeliveredHoweverTheClientLeaves) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure("SMTP=" + peer.server() + "\n");
  Start();
  SmtpTestClient client(port_);
  EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
  client.Send("EHLO pc\r\n");
  EXPECT_EQ(client.ReadFullReply(), "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250 8BITMIME\r\n");
  for (const char* subject : {"first", "second"}) {
    client.Send("MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n");
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    EXPECT_EQ(client.ReadReply(), "354 send the mail data, end with .\r\n");
    client.Send(std::string("Subject: ") + subject + "\r\n\r\nbody\nend\r\n.\r\n");
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  }
  client.Close();  // no QUIT: the messages were handed over at their 250
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 2 && SpoolFiles().empty(); })) << Log();
  for (const auto& transcript : peer.Transcripts()) {
    ASSERT_GE(transcript.size(), 10u);
    EXPECT_EQ(transcript[0], "HELO pc\r\n");
    EXPECT_EQ(transcript[4].substr(0, 26), "Received: from pc ([127.0.");
    EXPECT_EQ(transcript[transcript.size() - 4], "body\r\n") << "bare line feeds reach the next relay as CR LF";
  }
  EXPECT_EQ(Stop(), 0);
}

TEST_F(VellomarTest, TwoHundredMessagesFromTenClientsAreAllDelivered) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure("SMTP=" + peer.server() + "\nLogsize=100000\n");
  Start();
  std::vector<std::thread> clients;
  for (int c = 0; c < 10; ++c) {
    clients.emplace_back([this, c] {
      for (int i = 0; i < 20; ++i) Submit(c * 20 + i);
    });
  }
  for (auto& client : clients) client.join();
  // None may wait for the 30-minute timer.
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 200 && SpoolFiles().empty(); }, 60000))
      << peer.Connections() << " delivered, " << SpoolFiles().size() << " spool files left: "
      << (SpoolFiles().empty() ? "" : SpoolFiles()[0] + "\n" + dir_.Read(SpoolFiles()[0]).substr(0, 120)) << "\n"
      << Log().substr(Log().size() > 3000 ? Log().size() - 3000 : 0);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(VellomarTest, FilesLeftFromBeforeAreDeliveredOrRemovedWhenIncomplete) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure("SMTP=" + peer.server() + "\n");
  dir_.Write("old.tml", kComplete);
  dir_.Write("noquit.tml", kComplete.substr(0, kComplete.size() - 6));
  dir_.Write("cut.tml", "HELO a\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\nSubject: half\r\n");
  Start();
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 2 && SpoolFiles().empty(); }));
  EXPECT_NE(Log().find("Removed incomplete spool file cut.tml\r\n"), std::string::npos);
  EXPECT_EQ(Log().find("old.tml"), std::string::npos);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(VellomarTest, WaitingFilesStayOnDiskAcrossShutdown) {
  Configure("DNS=127.0.0.1\n");  // configured, but simple relaying has no next relay
  dir_.Write("old.tml", kComplete);
  Start();
  ASSERT_TRUE(Eventually([this] { return Log().find("Client stopped: no files left.\r\n") != std::string::npos; }));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(SpoolFiles(), std::vector<std::string>{"old.tml"});
  EXPECT_EQ(dir_.Read("old.tml"), kComplete);
  EXPECT_EQ(dir_.Read("stderr"), "");
}

TEST_F(VellomarTest, AMissingTemplateEndsTheProgramAtOnce) {
  // Without a template beside it or installed, the program turns to the state folder, which
  // has none either.
  std::filesystem::remove(dir_.File("error"));
  test::ChildProcess program(dir_.File("vellomar"),
                             std::map<std::string, std::string>{{"VELLOMAR_REGISTRY", dir_.File("store")},
                                                                {"XDG_STATE_HOME", dir_.File("state")}},
                             dir_.File("stdout"), dir_.File("stderr"));
  auto status = program.WaitExit(20000);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_EQ(dir_.Read("stderr"), "Error: File named <error> not found in application path\n");
  EXPECT_EQ(KindOf(dir_.File("state/vellomar")), EntryKind::Directory);
  EXPECT_FALSE(dir_.Exists("state/vellomar/error"));
}

TEST_F(VellomarTest, AnInstalledProgramKeepsItsFilesInTheStateFolder) {
  for (const char* folder : {"usr/bin", "usr/share/vellomar"}) ASSERT_TRUE(MakeDirectories(dir_.File(folder)));
  std::filesystem::rename(dir_.File("vellomar"), dir_.File("usr/bin/vellomar"));
  std::filesystem::rename(dir_.File("error"), dir_.File("usr/share/vellomar/error"));
  Configure("DNS=127.0.0.1\n");
  test::ChildProcess program(dir_.File("usr/bin/vellomar"),
                             std::map<std::string, std::string>{{"VELLOMAR_REGISTRY", dir_.File("store")},
                                                                {"HOME", dir_.File("home")},
                                                                {"XDG_STATE_HOME", ""},
                                                                {"VELLOMAR_SMTP_PORT", std::to_string(port_)}},
                             dir_.File("stdout"), dir_.File("stderr"));
  const std::string state = dir_.File("home/.local/state/vellomar");
  auto log = [&] { return dir_.Read("home/.local/state/vellomar/logfile"); };
  ASSERT_TRUE(Eventually([&] { return log().find("Server started and listening.\r\n") != std::string::npos; })) << log();
  EXPECT_NE(log().find("Application folder: " + state + "\r\n"), std::string::npos) << log();
  EXPECT_EQ(dir_.Read("home/.local/state/vellomar/error"), dir_.Read("usr/share/vellomar/error"));
  Submit(1);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(30000), std::optional<int>(0));
  for (const char* name : {"error", "logfile", "vellomar.lock"}) {
    EXPECT_EQ(KindOf(state + "/" + name), EntryKind::Regular) << name;
  }
  // Nothing is written beside the installed program.
  size_t besideProgram = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.File("usr/bin"))) besideProgram += entry.exists();
  EXPECT_EQ(besideProgram, 1u);
}

TEST_F(VellomarTest, AStoreOverOneMegabyteIsRefusedUnread) {
  const std::string store = "[Software\\Vellomar]\nSMTP=relay.example\n;" + std::string(1024 * 1024, 'x') + "\n";
  ASSERT_TRUE(MakeDirectories(dir_.File("store")));
  dir_.Write("store/HKEY_LOCAL_MACHINE.ini", store);
  Launch();
  auto status = relay_.process()->WaitExit(20000);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_EQ(dir_.Read("stderr"), "Vellomar error: The settings store " + dir_.File("store/HKEY_LOCAL_MACHINE.ini") +
                                     " is larger than 1 MB and is not read. Move it away.\n");
  EXPECT_EQ(Log().find("Initializing..."), std::string::npos);
  EXPECT_EQ(dir_.Read("store/HKEY_LOCAL_MACHINE.ini"), store) << "left as it was";
}

// A delivery waiting for a silent next relay keeps the shutdown busy for a second (its worker
// is given that long), in which a second signal ends the program at once. (An idle client
// no longer does: its session sees the stop within a second and says goodbye.)
TEST_F(VellomarTest, ASecondSignalDuringShutdownEndsTheProgramAtOnce) {
  SmtpPeer silent([](int, const std::string&) { return std::string(); });
  Configure("SMTP=" + silent.server() + "\n");
  Start();
  Submit(1);
  ASSERT_TRUE(Eventually([&] { return silent.Connections() == 1; })) << Log();
  relay_.process()->Signal(SIGTERM);
  ASSERT_TRUE(Eventually([this] { return Log().find("Client terminated.\r\n") != std::string::npos; })) << Log();
  relay_.process()->Signal(SIGINT);
  auto status = relay_.process()->WaitExit(20000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 128 + SIGINT) << dir_.Read("stderr");
  EXPECT_EQ(Log().find("File list now empty."), std::string::npos) << "the shutdown was cut short";
}

// On a terminal of its own (a pseudo-terminal), the program asks its first-start questions
// there, and Ctrl-C typed there reaches it as the terminal's interrupt.
TEST_F(VellomarTest, CtrlCAtTheFirstStartQuestionsEndsTheProgramUnstarted) {
  std::vector<std::string> texts = test::ChildEnvironment(Environment());
  std::vector<char*> envp;
  for (std::string& text : texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string program = dir_.File("vellomar");
  char* argv[] = {program.data(), nullptr};
  int terminal = -1;
  pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  FileDescriptor owned(terminal);
  std::string shown;
  ASSERT_TRUE(Eventually([&] {
    char buffer[256];
    if (test::WaitReadable(terminal, 10)) {
      ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got > 0) shown.append(buffer, static_cast<size_t>(got));
    }
    return shown.find("Relaying mode") != std::string::npos;
  })) << shown;
  ASSERT_EQ(::write(terminal, "\x03", 1), 1);
  int status = 0;
  bool ended = Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(ended) << "still asking after Ctrl-C";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(Log().find("Initializing..."), std::string::npos) << "never started";
  EXPECT_TRUE(SmtpTestClient::Refused(port_));
}

TEST_F(VellomarTest, ASecondStartOnTheSameFolderTouchesNothingAndEnds) {
  Configure("DNS=127.0.0.1\n");  // configured, and nothing is delivered while the test looks
  dir_.Write("old.tml", kComplete);
  Start();
  // The first program's own start is over before the second one comes.
  ASSERT_TRUE(Eventually([this] { return Log().find("Client stopped: no files left.\r\n") != std::string::npos; }));
  // A reception under way: its spool file is incomplete, as a second start's clean-up would see it.
  SmtpTestClient client(port_);
  EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
  for (const char* line : {"HELO a\r\n", "MAIL FROM:<s@example.org>\r\n"}) {
    client.Send(line);
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  }
  std::vector<std::string> files = SpoolFiles();
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  std::map<std::string, std::string> contents;
  for (const std::string& name : files) contents[name] = dir_.Read(name);
  const std::string log = Log();
  const std::string store = dir_.Read("store/HKEY_LOCAL_MACHINE.ini");

  test::ChildProcess second(dir_.File("vellomar"),
                            std::map<std::string, std::string>{{"VELLOMAR_REGISTRY", dir_.File("store")},
                                                               {"XDG_CONFIG_HOME", dir_.File("config")},
                                                               {"HOME", dir_.path()},
                                                               {"VELLOMAR_SMTP_PORT", std::to_string(test::FreePort())}},
                            dir_.File("stdout2"), dir_.File("stderr2"));
  ASSERT_TRUE(second.started());
  auto status = second.WaitExit(20000);
  ASSERT_TRUE(status.has_value()) << "the second program ends by itself";
  EXPECT_NE(*status, 0);
  EXPECT_EQ(dir_.Read("stderr2"), "Vellomar: Vellomar is already running from this folder.\n");
  EXPECT_EQ(dir_.Read("stdout2"), "");
  EXPECT_EQ(Log(), log) << "no log line";
  EXPECT_EQ(dir_.Read("store/HKEY_LOCAL_MACHINE.ini"), store);
  std::vector<std::string> after = SpoolFiles();
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, files);
  for (const std::string& name : files) EXPECT_EQ(dir_.Read(name), contents[name]) << name;

  // The first program goes on with its reception as if nothing happened.
  client.Send("RCPT TO:<r@example.org>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("DATA\r\n");
  EXPECT_EQ(client.ReadReply().substr(0, 4), "354 ");
  client.Send("Subject: kept\r\n\r\nx\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(SpoolFiles().size(), 2u) << "both messages wait for the next relay";
}

#ifdef VELLOMAR_WINDOW_FACE
// With a display and the window face's plug-in beside it, the program opens its window; Qt's
// offscreen platform stands in for a display.
TEST_F(VellomarTest, WithADisplayTheWindowFaceRunsAndEndsThroughShutdown) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure("SMTP=" + peer.server() + "\n");
  relay_.AddWindowFace(VELLOMAR_WINDOW_FACE);
  ASSERT_TRUE(relay_.Start({{"DISPLAY", ":99"},
                            {"QT_QPA_PLATFORM", "offscreen"},
                            {"LSAN_OPTIONS", std::string("suppressions=") + VELLOMAR_LSAN_SUPPRESSIONS}}));
  Submit(1);
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1 && SpoolFiles().empty(); }));
  EXPECT_EQ(Stop(), 0);
  EXPECT_TRUE(InOrder(Log(), {"Client terminated.\r\n", "Server terminated.\r\n", "Input threads deleted.\r\n",
                              "Output threads deleted.\r\n", "File list now empty.\r\n"}));
  EXPECT_EQ(dir_.Read("stdout"), "") << "the window face prints nothing";
  EXPECT_EQ(dir_.Read("stderr").find("console face"), std::string::npos) << dir_.Read("stderr");
}
#endif

// The console face runs wherever the window face cannot, or is not wanted: the console face
// echoes its notifications on standard output, which the window face never does. The
// "plug-in" here is no shared object, so that any attempt to load it would be told.
TEST_F(VellomarTest, TheConsoleFaceRunsWithoutADisplayAPluginOrWithConsole) {
  struct Case {
    const char* name;
    bool display;
    enum { None, Present, Writable } plugin;
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {"a display, no plug-in", true, Case::None, {}, ""},
      {"a display and --console", true, Case::Present, {"--console"}, ""},
      {"no display", false, Case::Present, {}, ""},
      {"a plug-in others may write to", true, Case::Writable, {},
       "the window face {dir}/vellomar-qt.so cannot be used: others may write to it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::RelayProgram program(VELLOMAR_EXECUTABLE);
    program.Configure("SMTP=127.0.0.1:9\n");
    if (c.plugin != Case::None) {
      program.dir().Write("vellomar-qt.so", "not a shared object\n");
      ::chmod(program.dir().File("vellomar-qt.so").c_str(), c.plugin == Case::Writable ? 0664 : 0644);
    }
    std::map<std::string, std::string> environment;
    if (c.display) environment = {{"DISPLAY", ":99"}, {"WAYLAND_DISPLAY", "wayland-99"}};
    ASSERT_TRUE(program.Start(environment, c.arguments));
    EXPECT_EQ(program.Stop(), 0);
    const std::string out = program.dir().Read("stdout");
    EXPECT_NE(out.find(" : Server started and listening.\n"), std::string::npos) << out;
    std::string err = c.err;
    if (!err.empty()) {
      err = "vellomar: " + err.replace(err.find("{dir}"), 5, program.dir().path()) + "; running with the console face\n";
    }
    EXPECT_EQ(program.dir().Read("stderr"), err);
  }
}

}  // namespace
}  // namespace vellomar

namespace vellomar {
namespace {

// `sudo VELLOMAR_DIR=<the service's folder> vellomar --add-user`, the folder's owner racing to
// put links to a file of root's under every name the command reads or writes there: root's
// file is never read as the list, written, given another mode or another owner; the list the
// command writes once the links are gone is the folder owner's, mode 0600.
TEST_F(VellomarTest, RootsAddUserInAnotherUsersFolderNeverFollowsTheirLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "plays a second user, which needs root";
  constexpr uid_t kOwner = 65534;
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
  const std::string folder = dir_.File("service");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(folder.c_str(), kOwner, kOwner), 0);
  const std::string roots = "root:$y$j9T$a-line-the-list-would-take\n";
  dir_.Write("roots", roots);
  ASSERT_EQ(::chmod(dir_.File("roots").c_str(), 0640), 0);
  dir_.Write("password.in", "a password\n");
  auto addUser = [&] {
    return test::RunProgram({"/usr/bin/env", "VELLOMAR_DIR=" + folder, dir_.File("vellomar"), "--add-user", "printer"},
                            dir_.File("password.in"), dir_.path(), 20000);
  };
  {
    test::LinkRacer racer(folder, kOwner, dir_.File("roots"), {"users", "users.tmp"});
    ASSERT_TRUE(racer.racing());
    for (int i = 0; i < 6; ++i) {
      test::ProgramOutcome run = addUser();
      ASSERT_TRUE(run.status.has_value()) << run.Describe();
    }
  }
  struct stat facts {};
  ASSERT_EQ(::stat(dir_.File("roots").c_str(), &facts), 0);
  EXPECT_EQ(dir_.Read("roots"), roots);
  EXPECT_EQ(facts.st_uid, 0u);
  EXPECT_EQ(facts.st_mode & 07777, 0640u);

  (void)::unlink((folder + "/users").c_str());  // the racer's last link, if it left one
  test::ProgramOutcome run = addUser();
  ASSERT_EQ(run.status, 0) << run.Describe();
  ASSERT_EQ(::lstat((folder + "/users").c_str(), &facts), 0);
  EXPECT_TRUE(S_ISREG(facts.st_mode));
  EXPECT_EQ(facts.st_uid, kOwner) << "the service that runs as the folder's owner must read it";
  EXPECT_EQ(facts.st_mode & 07777, 0600u);
  const std::string users = dir_.Read("service/users");
  EXPECT_EQ(users.rfind("printer:$y$", 0), 0u) << users;
  EXPECT_EQ(users.find("a-line-the-list-would-take"), std::string::npos) << users;
}

TEST_F(VellomarTest, HelpVersionAndAnyOtherArgument) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string outStart;
    std::string err;
  };
  const std::string usage =
      "Usage: vellomar [--console | --help | --version | --queue | --status [--json] | --deliver-now |\n"
      "                 --sign-in [--device | --check] [--account NAME] |\n"
      "                 --add-user NAME | --remove-user NAME | --list-users]\n";
  const Case cases[] = {
      {{"--help"}, 0, usage, ""},
      {{"--version"}, 0, "vellomar " VELLOMAR_VERSION "\nTLS: " + TlsLibraryVersion() + "\n", ""},
      {{"--bogus"}, 2, "", "vellomar: unknown option '--bogus'\n" + usage},
      {{"queue"}, 2, "", "vellomar: unknown option 'queue'\n" + usage},
      {{"--queue", "--help"}, 2, "", "vellomar: one option at a time\n" + usage},
      {{"--status", "--queue"}, 2, "", "vellomar: one option at a time\n" + usage},
      {{"--json"}, 2, "", "vellomar: unknown option '--json'\n" + usage},
      {{"--console", "--queue"}, 2, "", "vellomar: one option at a time\n" + usage},
      {{"--sign-in", "--help"}, 2, "", "vellomar: one option at a time\n" + usage},
      {{"--list-users"}, 0, "", ""},
      {{"--remove-user", "ann"}, 1, "", "vellomar: no user ann\n"},
      {{"--add-user", "ann"}, 1, "", "vellomar: no password given; nothing changed\n"},
      {{"--add-user", "a:b"}, 2, "",
       "vellomar: 'a:b' cannot be a user name (printable, no blank, ':', quote, backslash or bracket)\n"},
      {{"--add-user"}, 2, "", "vellomar: unknown option '--add-user'\n" + usage},
      {{"--sign-in"}, 1, "",
       "vellomar: SMTP_OAuth is not set in " + dir_.File("store/HKEY_LOCAL_MACHINE.ini") + ": there is no sign-in to make\n"},
      {{"--sign-in", "--account", "gmail"}, 1, "",
       "vellomar: there is no account 'gmail' in " + dir_.File("store/HKEY_LOCAL_MACHINE.ini") + "\n"},
      {{"--sign-in", "--account"}, 2, "", "vellomar: one option at a time\n" + usage},
  };
  for (const Case& c : cases) {
    auto answer = RunCommand(c.arguments);
    EXPECT_EQ(answer.status, c.status) << c.arguments[0];
    EXPECT_EQ(answer.out.substr(0, c.outStart.size()), c.outStart) << c.arguments[0];
    if (c.outStart.empty()) {
      EXPECT_EQ(answer.out, "") << c.arguments[0];
    }
    EXPECT_EQ(answer.err, c.err) << c.arguments[0];
  }
  Configure("SMTP_OAuth=google\n");
  EXPECT_EQ(RunCommand({"--sign-in"}).err, "vellomar: can't sign in: SMTP_OAuthClientId is empty\n");
  Configure("SMTP_OAuth=custom\nSMTP_OAuthClientId=c\nSMTP_OAuthScope=s\nSMTP_OAuthTokenUrl=https://localhost/t\n"
            "SMTP_OAuthAuthorizeUrl=https://localhost/a\nSMTP_User=ann@example.org\n");
  EXPECT_EQ(RunCommand({"--sign-in", "--device"}).err,
            "vellomar: localhost offers no sign-in with a code (SMTP_OAuthDeviceUrl is empty)\n");
  EXPECT_FALSE(dir_.Exists("logfile")) << "no command starts the relay";
  EXPECT_FALSE(dir_.Exists("vellomar.lock"));
}

TEST_F(VellomarTest, QueuePrintsTheWaitingFilesAndChangesNothing) {
  const std::string notice = "HELO relay\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\nSubject: Failure\r\n\r\nx\r\n.\r\nQUIT\r\n";
  const std::string twoRecipients =
      "HELO a\r\nMAIL FROM:<s@example.org>\r\nXCPT TO:<r@example.org>\r\nUCPT TO:<t@example.org>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n";
  dir_.Write("1.tml", notice);
  dir_.Write("2.tml", twoRecipients);
  Configure("[Software\\Vellomar\\Accounts\\shop]\nSenders=s@example.org\n");
  auto answer = RunCommand({"--queue"});
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.out,
            "File   Age  Sender           Account  Subject  Recipients\n"
            "1.tml  -    <>               default  Failure  <ann@example.org> pending\n"
            "2.tml  -    <s@example.org>  shop              <r@example.org> done, <t@example.org> deferred 3 times\n"
            "2 messages wait.\n");
  EXPECT_EQ(answer.err, "");
  EXPECT_EQ(dir_.Read("1.tml"), notice);
  EXPECT_EQ(dir_.Read("2.tml"), twoRecipients);
}

// A message deferred by the next relay waits a minute for its next try; --deliver-now asks
// the running program (through SIGUSR1) to try it at once.
TEST_F(VellomarTest, DeliverNowReachesTheRunningProgramOrSaysNoneRuns) {
  auto none = RunCommand({"--deliver-now"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "vellomar: no Vellomar is running from " + dir_.path() + "\n");

  SmtpPeer peer([](int connection, const std::string& line) {
    if (connection == 0 && line.rfind("RCPT", 0) == 0) return std::string("451 try later\r\n");
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure("SMTP=" + peer.server() + "\n");
  Start();
  Submit(1);
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1 && SpoolFiles().size() == 1; })) << Log();
  const std::string deferred = SpoolFiles()[0];
  ASSERT_TRUE(Eventually([&] { return dir_.Read(deferred).find("SCPT TO:") != std::string::npos; }));
  auto queue = RunCommand({"--queue"});
  EXPECT_NE(queue.out.find("<b1@example.org> deferred 1 time\n1 message waits.\n"), std::string::npos) << queue.out;
  // A second message is delivered at once; the deferred one keeps waiting for its time.
  Submit(2);
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 2 && SpoolFiles().size() == 1; })) << Log();
  EXPECT_EQ(SpoolFiles(), std::vector<std::string>{deferred});

  auto asked = RunCommand({"--deliver-now"});
  EXPECT_EQ(asked.status, 0) << asked.err;
  EXPECT_NE(asked.out.find("to deliver every waiting message now"), std::string::npos) << asked.out;
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 3 && SpoolFiles().empty(); })) << Log();
  EXPECT_NE(Log().find("Delivering every waiting e-mail now.\r\n"), std::string::npos);
  EXPECT_EQ(Stop(), 0);
}

// What a monitoring check gets from `vellomar --status` of a running program and of a stopped
// one: the verdict in the exit status and the JSON's fields, with the running program's own
// facts (its process, ports, a file's next try, the account's last failure).
TEST_F(VellomarTest, StatusOfTheRunningProgramAndOfAStoppedOne) {
  SmtpPeer peer([](int connection, const std::string& line) {
    if (connection == 0 && line.rfind("RCPT", 0) == 0) return std::string("451 4.3.2 try later\r\n");
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure("SMTP=" + peer.server() + "\n");
  Start();
  Submit(1);
  ASSERT_TRUE(Eventually([&] {
    auto files = SpoolFiles();
    return files.size() == 1 && dir_.Read(files[0]).find("SCPT TO:") != std::string::npos;
  })) << Log();
  const std::time_t now = std::time(nullptr);
  nlohmann::json json;
  // The status file follows within a couple of seconds of the deferral.
  ASSERT_TRUE(Eventually([&] {
    auto answer = RunCommand({"--status", "--json"});
    json = nlohmann::json::parse(answer.out, nullptr, false);
    return answer.status == 0 && json.is_object() && json["recipients"]["deferred"] == 1;
  })) << json.dump(2);
  EXPECT_EQ(json["status"], "ok");
  EXPECT_EQ(json["running"], true);
  EXPECT_EQ(json["pid"], relay_.process()->pid());
  EXPECT_EQ(json["ports"], nlohmann::json::array({port_}));
  EXPECT_EQ(json["messages"], 1);
  EXPECT_GT(json["nextTry"].get<int64_t>(), now);
  EXPECT_LE(json["nextTry"].get<int64_t>(), now + 61);
  EXPECT_LE(json["since"].get<int64_t>(), now);
  EXPECT_EQ(json["accounts"][0]["name"], "default");
  EXPECT_EQ(json["accounts"][0]["lastFailureReason"], "451 4.3.2 try later");
  EXPECT_NE(json["log"].back().get<std::string>().find(" : "), std::string::npos);

  auto text = RunCommand({"--status"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.rfind("VELLOMAR OK - 1 message waits, the oldest for ", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("\nRunning:   yes, process " + std::to_string(relay_.process()->pid()) + ", since "),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("Listening: " + std::to_string(port_) + "\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.err, "");

  EXPECT_EQ(Stop(), 0);
  auto stopped = RunCommand({"--status", "--json"});
  EXPECT_EQ(stopped.status, 2);
  json = nlohmann::json::parse(stopped.out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << stopped.out;
  EXPECT_EQ(json["status"], "critical");
  EXPECT_EQ(json["running"], false);
  EXPECT_EQ(json["pid"], nullptr);
  EXPECT_EQ(json["problems"][0], "no Vellomar runs from " + dir_.path());
  EXPECT_EQ(json["recipients"]["deferred"], 0) << "what the stopped program knew is gone with it";
  EXPECT_EQ(json["recipients"]["due"], 1);
  auto line = RunCommand({"--status"});
  const std::string first = line.out.substr(0, line.out.find('\n') + 1);
  EXPECT_EQ(first.rfind("VELLOMAR CRITICAL - no Vellomar runs from " + dir_.path() +
                            " | messages=1 recipients=1 oldest=", 0),
            0u)
      << first;
  EXPECT_NE(first.find("s;3600;86400 due=1 deferred=0 paced=0 signin=0\n"), std::string::npos) << first;
}

// A folder that cannot be read says so, with the plug-in's "unknown"; run as root on the folder
// of another user (the system service's), the command reads it with that user's rights.
TEST_F(VellomarTest, StatusOfAFolderItCannotReadAndOfAnotherUsersFolder) {
  const std::string folder = dir_.File("service");
  ASSERT_TRUE(MakeDirectory(folder, 0700));
  dir_.Write("service/1.tml", kComplete);
  const bool root = ::geteuid() == 0;
  const uid_t nobody = 65534;
  if (root) {
    ASSERT_EQ(::chown(folder.c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chown((folder + "/1.tml").c_str(), nobody, nobody), 0);
    auto other = RunCommand({"--status", "--json"}, {{"VELLOMAR_DIR", folder}});
    EXPECT_EQ(other.status, 2) << other.out << other.err;
    auto json = nlohmann::json::parse(other.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << other.out;
    EXPECT_EQ(json["messages"], 1);
    EXPECT_EQ(json["spool"]["writable"], true);
    EXPECT_FALSE(std::filesystem::exists(folder + "/status.json")) << "nothing written";
  }
  ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
  auto unreadable = RunCommand({"--status"}, {{"VELLOMAR_DIR", folder}});
  (void)::chmod(folder.c_str(), 0700);  // for the folder's removal
  EXPECT_EQ(unreadable.status, 3);
  EXPECT_EQ(unreadable.out, "VELLOMAR UNKNOWN - can't read " + folder + ": Permission denied\n");
  EXPECT_EQ(unreadable.err,
            "vellomar: can't read " + folder + ": Permission denied (run this as the folder's owner, or as root)\n");
  auto json = RunCommand({"--status", "--json"}, {{"VELLOMAR_DIR", dir_.File("missing")}});
  EXPECT_EQ(json.status, 3);
  auto unknown = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_TRUE(unknown.is_object()) << json.out;
  EXPECT_EQ(unknown["status"], "unknown");
  EXPECT_EQ(unknown["running"], nullptr);
  EXPECT_EQ(unknown["problems"][0], "can't read " + dir_.File("missing") + ": No such file or directory");
}

}  // namespace
}  // namespace vellomar
