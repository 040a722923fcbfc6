// The real program driven by the mail programs people use (Python's smtplib, curl, swaks,
// msmtp), each message followed to a next relay on loopback: what arrives there is the
// replayed dialogue with the client's own HELO domain, its envelope and message.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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
};

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
// did not offer, which is refused; each reply checked, QUIT's 221 too.
constexpr const char* kSmtplibScript = R"(import smtplib, sys
port, tokens, mode = int(sys.argv[1]), sys.argv[2].split(","), sys.argv[3]
def message(token):
    return "Subject: %s\r\n\r\nbody of %s\r\n.dot %s\r\n" % (token, token, token)
client = smtplib.SMTP("127.0.0.1", port, local_hostname="python.test", timeout=15)
client.set_debuglevel(1)
if mode == "parameter":
    try:
        client.sendmail("sender@example.org", ["rcpt@example.org"], message("refused"), mail_options=["BODY=8BITMIME"])
        raise AssertionError("a parameter not offered was taken")
    except smtplib.SMTPSenderRefused as refusal:
        assert refusal.smtp_code == 555, refusal
for index, token in enumerate(tokens):
    if mode == "reset" and index == 1:
        assert client.mail("dropped@example.org")[0] == 250
        assert client.rcpt("dropped@example.org")[0] == 250
        assert client.rset()[0] == 250
    refused = client.sendmail("sender@example.org", ["rcpt@example.org"], message(token))
    assert not refused, refused
code, text = client.quit()
assert code == 221, (code, text)
)";

std::vector<std::string> Smtplib(int port, const test::TempDir& dir, const std::string& tokens, const char* mode) {
  dir.Write("client.py", kSmtplibScript);
  return {kPython, dir.File("client.py"), std::to_string(port), tokens, mode};
}

std::vector<std::string> Swaks(int port, const std::string& token, bool pipeline) {
  std::vector<std::string> command{"/usr/bin/swaks", "--server", "127.0.0.1", "--port", std::to_string(port),
                                   "--helo", "swaks.test", "--from", "sender@example.org", "--to",
                                   "rcpt@example.org", "--timeout", "15", "--header", "Subject: " + token,
                                   "--body", "body of " + token + "\n.dot " + token};
  if (pipeline) command.push_back("--pipeline");
  return command;
}

// `host` as a URL names it: 127.0.0.1 or [::1].
std::vector<std::string> Curl(int port, const test::TempDir& dir, const std::string& host, const std::string& token) {
  dir.Write("message.eml", Message(token, "\r\n"));
  return {"/usr/bin/curl", "--silent", "--show-error", "--max-time", "15",
          "smtp://" + host + ":" + std::to_string(port) + "/curl.test", "--mail-from", "sender@example.org",
          "--mail-rcpt", "rcpt@example.org", "--upload-file", dir.File("message.eml")};
}

std::vector<std::string> Msmtp(int port, const test::TempDir& dir) {
  dir.Write("msmtprc", "account default\nhost 127.0.0.1\nport " + std::to_string(port) +
                           "\ntls off\nauth off\nfrom sender@example.org\ndomain msmtp.test\ntimeout 15\n");
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
       {Upper("py-plain")}, {"refused", "BODY"}},
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
  EXPECT_NE(got[5].find(" with Vellomar; "), std::string::npos) << got[5];
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
  program.Configure("SMTP=" + peer.server() + "\n");
  ASSERT_TRUE(program.Start());

  program.dir().Write("client.in", client.input);
  test::ProgramOutcome run = test::RunProgram(client.command(program.port(), program.dir()),
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

INSTANTIATE_TEST_SUITE_P(Clients, MailProgramsTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ClientCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vellomar
