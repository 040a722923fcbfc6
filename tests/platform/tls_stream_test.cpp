#include "platform/tls_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>

#include "support/loopback.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;

TEST(TlsStreamTest, FingerprintsInTheirUsualSpellings) {
  const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::string colons;
  for (size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {hex, hex},
      {colons, hex},
      {"01:23:45:67:89:AB:CD:EF:01:23:45:67:89:ab:cd:ef:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF", hex},
      {hex.substr(2), ""},         // 31 bytes
      {hex + "00", ""},            // 33 bytes
      {"sha256 Fingerprint=" + colons, ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeFingerprint(c.text), c.want) << c.text;
}

TEST(TlsStreamTest, TheLibraryNamesItself) { EXPECT_EQ(TlsLibraryVersion().rfind("OpenSSL 3.", 0), 0u); }

// The handshake keeps the time limit and the lost-connection rules of every socket wait.
TEST(TlsStreamTest, HandshakesThatGetNoTlsAnswer) {
  struct Case {
    const char* what;
    const char* answer;  // what the peer writes once the client hello came; nullptr: nothing
    bool close;
    milliseconds wait;
    TlsOutcome::Kind want;
  };
  const Case cases[] = {
      {"a silent server", nullptr, false, milliseconds(300), TlsOutcome::Kind::Network},
      {"a server that closes", nullptr, true, milliseconds(10000), TlsOutcome::Kind::Handshake},
      {"a plain SMTP reply", "500 what?\r\n", true, milliseconds(10000), TlsOutcome::Kind::Handshake},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::LoopbackPair pair = test::ConnectLoopback();
    std::thread peer([&] {
      ASSERT_TRUE(test::WaitReadable(pair.server.get(), 5000)) << "the client hello";
      if (c.answer != nullptr) ::send(pair.server.get(), c.answer, strlen(c.answer), MSG_NOSIGNAL);
      if (c.close) ::shutdown(pair.server.get(), SHUT_RDWR);
    });
    std::unique_ptr<TlsStream> stream;
    auto started = std::chrono::steady_clock::now();
    TlsOutcome outcome = TlsStream::Connect(pair.client.get(), {TlsPeerCheck::Mode::Chain, "localhost", ""},
                                            c.wait, stream);
    EXPECT_LT(std::chrono::steady_clock::now() - started, c.wait + milliseconds(3000));
    peer.join();
    EXPECT_EQ(outcome.kind, c.want) << outcome.reason;
    EXPECT_FALSE(outcome.reason.empty());
    EXPECT_EQ(stream, nullptr);
  }
}

}  // namespace
}  // namespace vellomar
