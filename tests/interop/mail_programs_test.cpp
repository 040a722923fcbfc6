// The real program driven by the mail programs people use (Python's smtplib, curl, swaks,
// msmtp), each message followed to a next relay on loopback: what arrives there is the
// replayed dialogue with the client's own HELO domain, its envelope and message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/relay_program.h"
#include "support/smtp_peer.h"

namespace vellomar {
namespace {

using test::Eventually;
using test::RelayProgram;
using test::SmtpPeer;

// Debian's own interpreter, whatever other Python is first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
constexpr int kClientTimeoutMs = 20000;

// One message as the next relay must see it: the envelope in the one form the relay stores,
// whatever case the client wrote its commands in (smtplib writes them in lower case).
struct Arrival {
  std::string mail;
  std::string rcpt;
  std::string data;
  std::string token;  // in the Subject and in a dot-stuffed body line
};

// A client program's run: its command line given the relay's port and the folder it may
// write its files to, the standard input it reads, the HELO domain it announces, what must
// arrive and what must not (text that appears on no line at the next relay).
struct ClientCase {
  std::string name;
  std::function<std::vector<std::string>(int port, const test::TempDir& dir)> command;
  std::string input;
  std::string helo;
  std::vector<Arrival> arrivals;
  std::vector<std::string> neverArrives;
  // How the trace header names the client's address.
  std::string clientAddress = "[127.0.0.1]";
  // How the trace header says the message came.
  std::string with = " with Vellomar; ";
  // The listener has its own certificate and a user (kUser) who logs in; the client is given
  // the port with TLS from the first byte instead of the one that offers STARTTLS.
  enum { Plain, StartTls, ImplicitTls } listener = Plain;
};

constexpr const char* kUser = "printer";
constexpr const char* kPassword = "scan to mail 1";
const std::string kWithLogin = " with ESMTPSA (Vellomar, TLSv1.3, user printer); ";

// gtest names each case by it.
void PrintTo(const ClientCase& client, std::ostream* out) { *out << client.name; }

// A message body with both a Subject and a line that starts with a dot, so that the client's
// dot-stuffing is seen to survive the relay unchanged.
std::string Message(const std::string& token, const char* lineEnd) {
  return "Subject: " + token + lineEnd + lineEnd + "body of " + token + lineEnd + ".dot " + token + lineEnd;
}

Arrival Upper(const std::string& token) {
  return {"MAIL FROM:<sender@example.org>\r\n", "RCPT TO:<rcpt@example.org>\r\n", "DATA\r\n", token};
}

// smtplib as a script is written: EHLO (through sendmail), one or two messages, or a
// transaction opened and reset between two, or first a message with a parameter the relay
// did not offer, which is refused, then one with a parameter it did; or STARTTLS and a login
// first, or a login in the clear, STARTTLS and the login again. Each reply checked, QUIT's 221 too.
constexpr const char* kSmtplibScript = R"(import smtplib, sys
port, tokens, mode = int(sys.argv[1]), sys.argv[2].split(","), sys.argv[3]
def message(token):
    return "Subject: %s\r\n\r\nbody of %s\r\n.dot %s\r\n" % (token, token, token)
client = smtplib.SMTP("127.0.0.1", port, local_hostname="python.test", timeout=15)
client.set_debuglevel(1)
if mode == "parameter":
    try:
        client.sendmail("sender@example.org", ["rcpt@example.org"], message("refused"), mail_options=["RET=FULL"])
        raise AssertionError("a parameter not offered was taken")
    except smtplib.SMTPSenderRefused as refusal:
        assert refusal.smtp_code == 555, refusal
if mode in ("login", "relogin"):
    import ssl
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    if mode == "relogin":
        assert client.login("printer", "scan to mail 1")[0] == 235
    assert client.starttls(context=context)[0] == 220
    assert client.login("printer", "scan to mail 1")[0] == 235
for index, token in enumerate(tokens):
    if mode == "reset" and index == 1:
        assert client.mail("dropped@example.org")[0] == 250
        assert client.rcpt("dropped@example.org")[0] == 250
        assert client.rset()[0] == 250
    options = ["BODY=8BITMIME"] if mode == "parameter" else []
    refused = client.sendmail("sender@example.org", ["rcpt@example.org"], message(token), mail_options=options)
    assert not refused, refused
code, text = client.quit()
assert code == 221, (code, text)
)";

std::vector<std::string> Smtplib(int port, const test::TempDir& dir, const std::string& tokens, const char* mode) {
  dir.Write("client.py", kSmtplibScript);
  return {kPython, dir.File("client.py"), std::to_string(port), tokens, mode};
}

std::vector<std::string> Swaks(int port, const std::string& token, bool pipeline,
                               const std::vector<std::string>& more = {}) {
  std::vector<std::string> command{"/usr/bin/swaks", "--server", "127.0.0.1", "--port", std::to_string(port),
                                   "--helo", "swaks.test", "--from", "sender@example.org", "--to",
                                   "rcpt@example.org", "--timeout", "15", "--header", "Subject: " + token,
                                   "--body", "body of " + token + "\n.dot " + token};
  if (pipeline) command.push_back("--pipeline");
  command.insert(command.end(), more.begin(), more.end());
  return command;
}

// `host` as a URL names it: 127.0.0.1 or [::1]. With a login, over TLS from the first byte.
std::vector<std::string> Curl(int port, const test::TempDir& dir, const std::string& host, const std::string& token,
                              bool login = false) {
  dir.Write("message.eml", Message(token, "\r\n"));
  std::vector<std::string> command{"/usr/bin/curl", "--silent", "--show-error", "--max-time", "15",
                                   (login ? "smtps://" : "smtp://") + host + ":" + std::to_string(port) + "/curl.test",
                                   "--mail-from", "sender@example.org", "--mail-rcpt", "rcpt@example.org",
                                   "--upload-file", dir.File("message.eml")};
  if (login) command.insert(command.end(), {"--insecure", "--user", std::string(kUser) + ":" + kPassword});
  return command;
}

std::vector<std::string> Msmtp(int port, const test::TempDir& dir, bool login = false) {
  const std::string security = login ? "tls on\ntls_starttls on\ntls_certcheck off\nauth on\nuser " + std::string(kUser) +
                                           "\npassword " + kPassword + "\n"
                                     : "tls off\nauth off\n";
  dir.Write("msmtprc", "account default\nhost 127.0.0.1\nport " + std::to_string(port) + "\n" + security +
                           "from sender@example.org\ndomain msmtp.test\ntimeout 15\n");
  ::chmod(dir.File("msmtprc").c_str(), 0600);
  return {"/usr/bin/msmtp", "-C", dir.File("msmtprc"), "rcpt@example.org"};
}

std::vector<ClientCase> Cases() {
  return {
      {"SmtplibOneMessage", [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-one", "plain"); },
       "", "python.test", {Upper("py-one")}, {}},
      {"SmtplibTwoMessagesOnOneConnection",
       [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-first,py-second", "plain"); }, "",
       "python.test", {Upper("py-first"), Upper("py-second")}, {}},
      {"SmtplibResetBetweenTwoMessages",
       [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-kept,py-after-reset", "reset"); }, "",
       "python.test", {Upper("py-kept"), Upper("py-after-reset")}, {"dropped@example.org"}},
      {"SmtplibParameterNotOfferedIsRefused",
       [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-plain", "parameter"); }, "", "python.test",
       {Upper("py-plain")}, {"refused", "RET=", "BODY="}},
      {"Curl", [](int port, const test::TempDir& dir) { return Curl(port, dir, "127.0.0.1", "curl-token"); }, "",
       "curl.test", {Upper("curl-token")}, {}},
      {"CurlOverIpv6", [](int port, const test::TempDir& dir) { return Curl(port, dir, "[::1]", "curl-ipv6"); }, "",
       "curl.test", {Upper("curl-ipv6")}, {}, "[IPv6:::1]"},
      {"SwaksDefaultDialogue", [](int port, const test::TempDir&) { return Swaks(port, "swaks-plain", false); }, "",
       "swaks.test", {Upper("swaks-plain")}, {}},
      {"SwaksPipelined", [](int port, const test::TempDir&) { return Swaks(port, "swaks-pipelined", true); }, "",
       "swaks.test", {Upper("swaks-pipelined")}, {}},
      {"Msmtp", [](int port, const test::TempDir& dir) { return Msmtp(port, dir); }, Message("msmtp-token", "\n"),
       "msmtp.test", {Upper("msmtp-token")}, {}},
      // Devices and laptops: a login over TLS, on the port that offers STARTTLS or the one
      // with TLS from the first byte; nothing of the login reaches the next relay.
      {"SmtplibStartTlsLogin", [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-login", "login"); },
       "", "python.test", {Upper("py-login")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin, ClientCase::StartTls},
      // A login in the clear (this machine may) is forgotten at STARTTLS and made again under TLS.
      {"SmtplibLoginBeforeStartTlsIsMadeAgain",
       [](int port, const test::TempDir& dir) { return Smtplib(port, dir, "py-relogin", "relogin"); }, "", "python.test",
       {Upper("py-relogin")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin, ClientCase::StartTls},
      {"SwaksStartTlsPlain",
       [](int port, const test::TempDir&) {
         return Swaks(port, "swaks-tls", false, {"--tls", "--auth", "PLAIN", "--auth-user", kUser, "--auth-password", kPassword});
       },
       "", "swaks.test", {Upper("swaks-tls")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin, ClientCase::StartTls},
      {"SwaksImplicitTlsLogin",
       [](int port, const test::TempDir&) {
         return Swaks(port, "swaks-tlsc", true, {"--tlsc", "--auth", "LOGIN", "--auth-user", kUser, "--auth-password", kPassword});
       },
       "", "swaks.test", {Upper("swaks-tlsc")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin, ClientCase::ImplicitTls},
      {"MsmtpStartTlsLogin", [](int port, const test::TempDir& dir) { return Msmtp(port, dir, true); },
       Message("msmtp-login", "\n"), "msmtp.test", {Upper("msmtp-login")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin,
       ClientCase::StartTls},
      {"CurlSmtpsLogin", [](int port, const test::TempDir& dir) { return Curl(port, dir, "127.0.0.1", "curl-smtps", true); },
       "", "curl.test", {Upper("curl-smtps")}, {kPassword, "AUTH"}, "[127.0.0.1]", kWithLogin, ClientCase::ImplicitTls},
  };
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// The one transcript whose Subject carries the token, or nullptr.
const std::vector<std::string>* Carrying(const std::vector<std::vector<std::string>>& transcripts,
                                         const std::string& token) {
  for (const auto& transcript : transcripts) {
    if (Contains(transcript, "Subject: " + token + "\r\n")) return &transcript;
  }
  return nullptr;
}

// The replayed dialogue: HELO, the client's envelope, DATA, the trace header
// naming the client, the message as sent (dot-stuffed), the end-of-data line, QUIT.
void ExpectArrived(const std::vector<std::string>& got, const ClientCase& client, const Arrival& want) {
  const std::string& helo = client.helo;
  ASSERT_GE(got.size(), 9u) << Joined(got);
  EXPECT_EQ(got[0], "HELO " + helo + "\r\n");
  EXPECT_EQ(got[1], want.mail);
  EXPECT_EQ(got[2], want.rcpt);
  EXPECT_EQ(got[3], want.data);
  EXPECT_EQ(got[4], "Received: from " + helo + " (" + client.clientAddress + ")\r\n");
  EXPECT_EQ(got[5].rfind("\tby ", 0), 0u) << got[5];
  EXPECT_NE(got[5].find(client.with), std::string::npos) << got[5];
  EXPECT_TRUE(Contains(got, "body of " + want.token + "\r\n")) << Joined(got);
  EXPECT_TRUE(Contains(got, "..dot " + want.token + "\r\n")) << Joined(got);
  EXPECT_EQ(got[got.size() - 2], ".\r\n");
  EXPECT_EQ(got.back(), "QUIT\r\n");
}

class MailProgramsTest : public ::testing::TestWithParam<ClientCase> {};

TEST_P(MailProgramsTest, EveryMessageReachesTheNextRelayAsSent) {
  const ClientCase& client = GetParam();
  SmtpPeer peer(SmtpPeer::AcceptAll);
  RelayProgram program(VELLOMAR_EXECUTABLE);
  int port = program.port();
  if (client.listener == ClientCase::Plain) {
    program.Configure("SMTP=" + peer.server() + "\n");
  } else {
    // The user is added as an administrator would, through the program's own command line.
    program.dir().Write("password.in", std::string(kPassword) + "\n");
    test::ProgramOutcome added = test::RunProgram({program.dir().File("vellomar"), "--add-user", kUser},
                                                  program.dir().File("password.in"), program.dir().path(), kClientTimeoutMs);
    ASSERT_EQ(added.status, 0) << added.Describe();
    const int tlsPort = test::FreePort();
    if (client.listener == ClientCase::ImplicitTls) port = tlsPort;
    program.Configure("SMTP=" + peer.server() + "\nTLS_Certificate=self\nPorts=" + std::to_string(program.port()) + " " +
                      std::to_string(tlsPort) + "/tls\n");
  }
  ASSERT_TRUE(program.Start());

  program.dir().Write("client.in", client.input);
  test::ProgramOutcome run = test::RunProgram(client.command(port, program.dir()),
                                              program.dir().File("client.in"), program.dir().path(), kClientTimeoutMs);
  ASSERT_EQ(run.status, 0) << run.Describe() << "\n--- relay log:\n" << program.Log();

  // Every message was the relay's at its 250, so once no spool file is left each one has
  // been replayed, and nothing else will be.
  const size_t want = client.arrivals.size();
  auto done = [&] {
    auto transcripts = peer.Transcripts();
    return program.SpoolFiles().empty() && transcripts.size() >= want &&
           std::all_of(transcripts.begin(), transcripts.end(),
                       [](const auto& lines) { return !lines.empty() && lines.back() == "QUIT\r\n"; });
  };
  ASSERT_TRUE(Eventually(done, 15000)) << peer.Connections() << " deliveries, " << program.SpoolFiles().size()
                                << " spool files left\n--- relay log:\n" << program.Log();
  auto transcripts = peer.Transcripts();
  EXPECT_EQ(transcripts.size(), want);
  for (const Arrival& arrival : client.arrivals) {
    const auto* got = Carrying(transcripts, arrival.token);
    ASSERT_NE(got, nullptr) << arrival.token << " never arrived";
    ExpectArrived(*got, client, arrival);
  }
  for (const auto& transcript : transcripts) {
    for (const std::string& text : client.neverArrives) {
      EXPECT_EQ(Joined(transcript).find(text), std::string::npos) << text << " arrived:\n" << Joined(transcript);
    }
  }
  EXPECT_EQ(program.Stop(), 0);
}

// An old device that speaks only TLS 1.0 (openssl's client forced to it, with the ciphers of
// its day): turned away by default, served once TLS_MinVersion lets it in.
TEST(OldDevicesTest, TlsOnePointZeroOnlyWhereAllowed) {
  for (const char* oldest : {"", "1.0"}) {
    SCOPED_TRACE(oldest);
    RelayProgram program(VELLOMAR_EXECUTABLE);
    program.Configure("TLS_Certificate=self\nTLS_MinVersion=" + std::string(oldest) + "\n");
    ASSERT_TRUE(program.Start());
    program.dir().Write("device.in", "EHLO old.device\r\nQUIT\r\n");
    test::ProgramOutcome run = test::RunProgram(
        {"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(program.port()), "-starttls", "smtp",
         "-tls1", "-cipher", "DEFAULT@SECLEVEL=0", "-quiet"},
        program.dir().File("device.in"), program.dir().path(), kClientTimeoutMs);
    const bool allowed = *oldest != '\0';
    EXPECT_EQ(run.status, allowed ? 0 : 1) << run.Describe();
    EXPECT_EQ(run.out.find("250 8BITMIME") != std::string::npos && run.out.find("221 Ok") != std::string::npos, allowed)
        << run.Describe();
    EXPECT_EQ(program.Log().find("Warning : the listener takes TLS 1.0 (TLS_MinVersion)") != std::string::npos, allowed);
    EXPECT_EQ(program.Stop(), 0);
  }
}

// The listener's TLS as a scanner probes it with openssl's client: up to TLS 1.2 only the
// forward-secret AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305), TLS 1.3's as they are,
// CBC and static RSA suites only once TLS_MinVersion lets old devices in. Its own certificate
// lives at most 398 days; one made to live longer (as earlier versions did) is made again.
TEST(OldDevicesTest, SuitesOfferedAndTheOwnCertificatesLife) {
  struct Probe {
    const char* version;
    const char* option;
    const char* suite;
    bool always;  // offered whatever TLS_MinVersion says
  };
  const Probe probes[] = {
      {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256", true},
      {"-tls1_2", "-cipher", "ECDHE-RSA-AES256-GCM-SHA384", true},
      {"-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305", true},
      {"-tls1_3", "-ciphersuites", "TLS_AES_128_GCM_SHA256", true},
      {"-tls1_3", "-ciphersuites", "TLS_CHACHA20_POLY1305_SHA256", true},
      {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA", false},
      {"-tls1_2", "-cipher", "ECDHE-RSA-AES256-SHA384", false},
      {"-tls1_2", "-cipher", "AES128-GCM-SHA256", false},
      {"-tls1_2", "-cipher", "AES256-SHA", false},
  };
  for (const char* oldest : {"", "1.0"}) {
    SCOPED_TRACE(oldest);
    RelayProgram program(VELLOMAR_EXECUTABLE);
    const auto& dir = program.dir();
    dir.Write("none.in", "");
    test::ProgramOutcome made = test::RunProgram(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "825", "-subj", "/CN=old.test",
         "-keyout", dir.File("certificate.key"), "-out", dir.File("certificate.pem")},
        dir.File("none.in"), dir.path(), kClientTimeoutMs);
    ASSERT_EQ(made.status, 0) << made.Describe();
    program.Configure("TLS_Certificate=self\nTLS_MinVersion=" + std::string(oldest) + "\n");
    ASSERT_TRUE(program.Start());
    EXPECT_NE(program.Log().find("Made a self-signed certificate"), std::string::npos) << "the 825-day one is replaced";
    auto expiresWithin = [&](int days) {
      return test::RunProgram({"/usr/bin/openssl", "x509", "-in", dir.File("certificate.pem"), "-noout", "-checkend",
                               std::to_string(days * 86400)},
                              dir.File("none.in"), dir.path(), kClientTimeoutMs)
                 .status == 1;
    };
    EXPECT_TRUE(expiresWithin(398));
    EXPECT_FALSE(expiresWithin(397));
    dir.Write("probe.in", "EHLO scanner.test\r\nQUIT\r\n");
    for (const Probe& p : probes) {
      SCOPED_TRACE(p.suite);
      test::ProgramOutcome run = test::RunProgram(
          {"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(program.port()), "-starttls", "smtp",
           p.version, p.option, p.suite, "-quiet"},
          dir.File("probe.in"), dir.path(), kClientTimeoutMs);
      EXPECT_EQ(run.status == 0 && run.out.find("221 Ok") != std::string::npos, p.always || *oldest != '\0')
          << run.Describe();
    }
    EXPECT_EQ(program.Stop(), 0);
  }
}

// A client the listener turns away hears why: on the port with TLS from the first byte inside
// TLS, after the handshake it is owed; on the port in the clear, in the clear as ever.
TEST(OldDevicesTest, ARefusalOnTheTlsPortComesInsideTls) {
  RelayProgram program(VELLOMAR_EXECUTABLE);
  const int tlsPort = test::FreePort();
  program.Configure("TLS_Certificate=self\nAllow=192.0.2.0/24\nPorts=" + std::to_string(program.port()) + " " +
                    std::to_string(tlsPort) + "/tls\n");
  ASSERT_TRUE(program.Start());
  program.dir().Write("none.in", "");
  test::ProgramOutcome run = test::RunProgram(
      {"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(tlsPort), "-quiet"},
      program.dir().File("none.in"), program.dir().path(), kClientTimeoutMs);
  EXPECT_NE(run.out.find("554 5.7.1 Access denied\r\n"), std::string::npos) << run.Describe();
  run = test::RunProgram({"/usr/bin/curl", "--silent", "--max-time", "15", "telnet://127.0.0.1:" + std::to_string(program.port())},
                         program.dir().File("none.in"), program.dir().path(), kClientTimeoutMs);
  EXPECT_EQ(run.out, "554 5.7.1 Access denied\r\n") << run.Describe();
  EXPECT_NE(program.Log().find("Refused connection from 127.0.0.1"), std::string::npos);
  EXPECT_EQ(program.Stop(), 0);
}

// vellomar-sendmail as the machine's programs call it, with local names configured as for a
// provider: each message reaches the next relay with the envelope the aliases, AdminAddress
// and LocalSender make, the header mended and a trace header naming the real caller.
struct HandOver {
  std::string token;
  std::vector<std::string> arguments;
  std::string input;
  std::string mail;
  std::vector<std::string> rcpts;
  std::vector<std::string> headers;  // lines that must arrive as they are
  std::string neverArrives;          // text on no line ("" for none)
  std::string out;                   // a part of what it prints
};

std::string Sendmail(const std::string& token, const char* lineEnd) {
  return "To: root\nSubject: " + token + lineEnd + lineEnd + "body of " + token + lineEnd + ".dot " + token + lineEnd;
}

std::vector<HandOver> HandOvers() {
  const std::string admin = "RCPT TO:<admin@provider.test>\r\n";
  return {
      // cron's own command line, its output with bare LF line ends.
      {"cron-token", {"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"}, Sendmail("cron-token", "\n"),
       "MAIL FROM:<me@provider.test>\r\n", {admin}, {"From: CronDaemon <me@provider.test>\r\n", "To: root@mypc.test\r\n"},
       "", ""},
      // -t: the header's recipients and the argument's; Bcc: leaves the header.
      {"t-token", {"-t", "-f", "jane", "extra@other.test"},
       "To: a@other.test\r\nCc: Team <b@other.test>, Ops <postmaster>\r\nBcc: hidden@other.test\r\nFrom: Jane <jane>\r\n"
       "Subject: t-token\r\n\r\nbody of t-token\r\n.dot t-token\r\n",
       "MAIL FROM:<me@provider.test>\r\n",
       {"RCPT TO:<extra@other.test>\r\n", "RCPT TO:<a@other.test>\r\n", "RCPT TO:<b@other.test>\r\n",
        "RCPT TO:<hidden@other.test>\r\n", admin},
       {"From: Jane <me@provider.test>\r\n", "Cc: Team <b@other.test>, Ops <postmaster@mypc.test>\r\n"}, "Bcc:", ""},
      // git send-email without an SMTP server: the program's path as its server, an mbox file.
      {"[PATCH] git-token",
       {"/usr/bin/git", "send-email", std::string("--smtp-server=") + VELLOMAR_SENDMAIL, "--to=root",
        "--from=Jane <jane@mypc.test>", "--suppress-cc=all", "--confirm=never", "--quiet", "/dev/stdin"},
       "From 0123456789abcdef0123456789abcdef01234567 Mon Sep 17 00:00:00 2001\nFrom: Jane <jane@mypc.test>\n"
       "Date: Tue, 8 Dec 2026 12:00:00 +0000\nSubject: [PATCH] git-token\n\nbody of git-token\n"
       ".dot [PATCH] git-token\n---\n",
       "MAIL FROM:<me@provider.test>\r\n", {admin}, {"From: Jane <me@provider.test>\r\n", "To: root@mypc.test\r\n"}, "",
       ""},
      // -bs: a dialogue on standard input and output, dot-stuffed data taken off its dots.
      {"bs-token", {"-bs"},
       "EHLO client.test\r\nMAIL FROM:<someone@other.test>\r\nRCPT TO:<postmaster>\r\nDATA\r\nSubject: bs-token\r\n\r\n"
       "body of bs-token\r\n..dot bs-token\r\n.\r\nQUIT\r\n",
       "MAIL FROM:<someone@other.test>\r\n", {admin}, {}, "", "250 2.0.0 Ok: queued"},
  };
}

class SendmailProgramTest : public ::testing::Test {
 protected:
  SendmailProgramTest() : peer(SmtpPeer::AcceptAll), program(VELLOMAR_EXECUTABLE) {
    program.dir().Write("aliases", "postmaster: root\nroot: admin-alias\nadmin-alias: cron-admin\n");
    program.Configure("SMTP=" + peer.server() + "\nAliases=" + program.dir().File("aliases") +
                      "\nAdminAddress=admin@provider.test\nLocalDomain=mypc.test\nLocalSender=me@provider.test\n");
  }

  test::ProgramOutcome Run(const std::vector<std::string>& arguments, const std::string& input,
                           const std::string& drop = "") {
    program.dir().Write("sendmail.in", input);
    std::vector<std::string> argv{"/usr/bin/env", "VELLOMAR_DIR=" + program.dir().path(),
                                  "VELLOMAR_REGISTRY=" + program.dir().File("store"), "VELLOMAR_DROP=" + drop};
    // A program of its own (git) that calls vellomar-sendmail itself, or vellomar-sendmail.
    if (arguments.empty() || arguments[0][0] != '/') argv.push_back(VELLOMAR_SENDMAIL);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return test::RunProgram(argv, program.dir().File("sendmail.in"), program.dir().path(), kClientTimeoutMs);
  }

  size_t Dropped() const {
    std::error_code error;
    std::filesystem::directory_iterator files(program.dir().File("drop"), error);
    return error ? 0 : static_cast<size_t>(std::distance(files, std::filesystem::directory_iterator()));
  }

  // Every message handed over has reached the next relay, nothing waits in the drop folder.
  bool AllDelivered(size_t want) {
    return Eventually(
        [&] {
          auto transcripts = peer.Transcripts();
          return program.SpoolFiles().empty() && Dropped() == 0 && transcripts.size() >= want &&
                 std::all_of(transcripts.begin(), transcripts.end(),
                             [](const auto& lines) { return !lines.empty() && lines.back() == "QUIT\r\n"; });
        },
        15000);
  }

  // The relay delivers each recipient on a connection of its own: every one carries the
  // same mended message.
  void ExpectHandedOver(const HandOver& want) {
    std::vector<std::string> rcpts;
    for (const auto& lines : peer.Transcripts()) {
      if (!Contains(lines, "Subject: " + want.token + "\r\n")) continue;
      ASSERT_GE(lines.size(), 6u) << Joined(lines);
      EXPECT_EQ(lines[0], "HELO mypc.test\r\n");
      EXPECT_EQ(lines[1], want.mail);
      rcpts.push_back(lines[2]);
      EXPECT_EQ(lines[3], "DATA\r\n");
      EXPECT_EQ(lines[4].rfind("Received: by ", 0), 0u) << lines[4];
      EXPECT_NE(lines[4].find("(Vellomar sendmail, from uid " + std::to_string(::getuid())), std::string::npos)
          << lines[4];
      for (const std::string& header : want.headers) EXPECT_TRUE(Contains(lines, header)) << header << Joined(lines);
      EXPECT_TRUE(Contains(lines, "..dot " + want.token + "\r\n")) << Joined(lines);
      if (!want.neverArrives.empty()) {
        EXPECT_EQ(Joined(lines).find(want.neverArrives), std::string::npos) << Joined(lines);
      }
    }
    std::vector<std::string> wanted = want.rcpts;
    std::sort(rcpts.begin(), rcpts.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(rcpts, wanted) << want.token << "\n--- relay log:\n" << program.Log();
  }

  static size_t Deliveries() {
    size_t count = 0;
    for (const HandOver& handOver : HandOvers()) count += handOver.rcpts.size();
    return count;
  }

  SmtpPeer peer;
  RelayProgram program;
};

TEST_F(SendmailProgramTest, MessagesHandedOverWhileTheRelayRunsAreDelivered) {
  ASSERT_TRUE(program.Start());
  for (const HandOver& handOver : HandOvers()) {
    test::ProgramOutcome run = Run(handOver.arguments, handOver.input);
    ASSERT_EQ(run.status, 0) << handOver.token << run.Describe() << "\n--- relay log:\n" << program.Log();
    EXPECT_NE(run.out.find(handOver.out), std::string::npos) << run.Describe();
  }
  ASSERT_TRUE(AllDelivered(Deliveries())) << peer.Connections() << " deliveries\n--- relay log:\n" << program.Log();
  EXPECT_EQ(peer.Transcripts().size(), Deliveries());
  for (const HandOver& handOver : HandOvers()) ExpectHandedOver(handOver);
  EXPECT_EQ(program.Stop(), 0);
}

TEST_F(SendmailProgramTest, AMessageHandedOverWhileTheRelayIsStoppedIsDeliveredOnceItStarts) {
  const HandOver cron = HandOvers()[0];
  test::ProgramOutcome run = Run(cron.arguments, cron.input);
  ASSERT_EQ(run.status, 0) << run.Describe();
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(AllDelivered(1)) << program.Log();
  ExpectHandedOver(cron);
  EXPECT_EQ(program.Stop(), 0);
  // The handed-over file went with its intake: nothing is left to be taken in twice.
  EXPECT_EQ(peer.Transcripts().size(), 1u);
  EXPECT_EQ(Dropped(), 0u);
}

// The system's layout: a sticky folder every user may write to and none may list, names no one
// can guess, files readable by the folder's owner and group alone. One user hands a message
// over; another can neither list, read nor remove it; the relay takes it in under the first
// user's id.
TEST_F(SendmailProgramTest, InTheSystemsWriteOnlyFolderNoUserReachesAnothersMessage) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs programs as two other users, which needs root";
  const std::string folder = program.dir().File("spool");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 01733), 0);
  ASSERT_EQ(::chmod(program.dir().path().c_str(), 0711), 0);
  auto as = [&](const char* uid, std::vector<std::string> command) {
    std::vector<std::string> argv{"/usr/bin/setpriv", std::string("--reuid=") + uid, std::string("--regid=") + uid,
                                  "--clear-groups"};
    argv.insert(argv.end(), command.begin(), command.end());
    return test::RunProgram(argv, program.dir().File("sendmail.in"), program.dir().path(), kClientTimeoutMs);
  };
  program.dir().Write("sendmail.in", Sendmail("shared-token", "\n"));
  ::chmod(program.dir().File("sendmail.in").c_str(), 0644);
  test::ProgramOutcome run = as("65534", {"/usr/bin/env", "VELLOMAR_DIR=" + program.dir().path(),
                                          "VELLOMAR_DROP=" + folder, VELLOMAR_SENDMAIL, "-i", "root"});
  ASSERT_EQ(run.status, 0) << run.Describe();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().string());
  ASSERT_EQ(names.size(), 1u);
  for (const std::vector<std::string>& attempt : {std::vector<std::string>{"/bin/ls", folder},
                                                  {"/bin/cat", names[0]}, {"/bin/rm", "-f", names[0]}}) {
    EXPECT_NE(as("65533", attempt).status, 0) << attempt[0] << " as another user";
  }
  ASSERT_TRUE(std::filesystem::exists(names[0]));

  ASSERT_TRUE(program.Start({{"VELLOMAR_DROP", folder}}));
  ASSERT_TRUE(AllDelivered(1)) << program.Log();
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  std::string delivered = Joined(peer.Transcripts()[0]);
  EXPECT_NE(delivered.find("(Vellomar sendmail, from uid 65534"), std::string::npos) << delivered;
  EXPECT_NE(delivered.find("RCPT TO:<admin@provider.test>"), std::string::npos) << delivered;
  EXPECT_EQ(program.Stop(), 0);
}

// Any user may write the drop folder: a file no writer makes (a size past 2^64 - 1 once stopped
// the relay at every start) and a folder under a message's name are refused once each, and
// the relay goes on taking in and delivering what comes before and after them.
TEST_F(SendmailProgramTest, NothingPutInTheDropFolderStopsTheRelay) {
  const HandOver cron = HandOvers()[0];
  ASSERT_EQ(Run(cron.arguments, cron.input).status, 0);
  const std::string oversized = "msg.00000000000000000000000000000000";
  program.dir().Write("drop/" + oversized, "Vellomar-Drop: 1\nSize: 99999999999999999999\nRecipient: root\n\nx");
  const std::string folder = "msg.00000000000000000000000000000001";
  ASSERT_EQ(::mkdir(program.dir().File("drop/" + folder).c_str(), 0700), 0);
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(AllDelivered(1)) << program.Log();
  test::ProgramOutcome later = Run(cron.arguments, cron.input);
  ASSERT_EQ(later.status, 0) << later.Describe();
  ASSERT_TRUE(AllDelivered(2)) << program.Log();
  const std::string log = program.Log();
  for (const std::string& said : {oversized + " refused (incomplete or damaged), removed",
                                  folder + " refused (not a file of its own), removed"}) {
    ASSERT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find(said, log.find(said) + 1), std::string::npos) << "said once\n" << log;
  }
  EXPECT_EQ(program.Stop(), 0);
}

TEST_F(SendmailProgramTest, BadInputIsRefusedWithItsStatusAndNothingIsQueued) {
  const std::string body = "Subject: x\n\nbody\n";
  // A file size limit stands in for a full disk: the write fails as it would.
  const std::vector<std::string> fullDisk{"/usr/bin/prlimit", "--fsize=4096"};
  // A message that has gone round a loop: more trace fields than any relay passes on.
  std::string looped;
  for (int i = 0; i < 51; ++i) looped += "Received: from loop" + std::to_string(i) + "\n\tby here; Sun, 6 Dec 2026 8:05:03 +0100\n";
  struct Case {
    std::vector<std::string> arguments;
    std::string input;  // "<dir>": standard input is a folder, which cannot be read
    std::string drop;
    int status;
    std::string error;
    std::vector<std::string> prefix = {};
  };
  const Case cases[] = {
      {{"-i"}, body, "", 65, "no recipient"},
      {{"-t"}, body, "", 65, "no recipient"},
      {{"-q1h", "root"}, body, "", 64, "unknown option -q"},
      {{"bad\001name@x.test"}, body, "", 65, "invalid address: bad?name@x.test"},
      {{std::string(250, 'a') + "@x.test"}, body, "", 65, "longer than 254"},
      {{"-f", "a b@x.test", "root"}, body, "", 65, "invalid sender"},
      {{"root"}, "<dir>", "", 75, "nothing was queued"},
      {{"root"}, body, "/dev/null/drop", 73, "cannot hand the message over in /dev/null/drop"},
      {{"root"}, body + std::string(100000, 'x'), "", 75, "File too large; nothing was queued", fullDisk},
      {{"root"}, looped + body, "", 65, "5.4.6 Too many hops"},
      {{"-t"}, "To: root\n" + looped + body, "", 65, "5.4.6 Too many hops"},
      {{"j\xc3\xb6rg@x.test"}, body, "", 65, "invalid address"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = c.prefix;
    for (const std::string& part : {std::string("/usr/bin/env"), "VELLOMAR_DROP=" + c.drop,
                                    "VELLOMAR_DIR=" + program.dir().path(), std::string(VELLOMAR_SENDMAIL)}) {
      argv.push_back(part);
    }
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    program.dir().Write("sendmail.in", c.input == "<dir>" ? "" : c.input);
    const std::string input = c.input == "<dir>" ? program.dir().path() : program.dir().File("sendmail.in");
    test::ProgramOutcome run = test::RunProgram(argv, input, program.dir().path(), kClientTimeoutMs);
    EXPECT_EQ(run.status, c.status) << run.Describe();
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.Describe();
  }
  EXPECT_EQ(Dropped(), 0u) << "a refused message left a file";
}

INSTANTIATE_TEST_SUITE_P(Clients, MailProgramsTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ClientCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vellomar
