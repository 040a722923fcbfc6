#include "dns/mx_resolver.h"

#include <gtest/gtest.h>

#include <functional>

#include <unistd.h>

#include "control/settings_loading.h"
#include "support/child_process.h"
#include "support/dns_peer.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/relay_fixture.h"

namespace vellomar {
namespace {

using test::DnsPeer;
using test::DnsReply;
using Bytes = std::vector<uint8_t>;

TEST(MxResolverTest, QueryNamesAreLengthPrefixedLabels) {
  struct Case {
    const char* domain;
    std::string want;
  };
  const Case cases[] = {
      {"mail.example.org", std::string("\x04mail\x07" "example\x03org")},
      {"example.org.", std::string("\x07" "example\x03org")},
      {"localhost", std::string("\x09localhost")},
      {"", ""},
      {".", ""},
      {"a..b", ""},
      {".a", ""},
      {"example.org..", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MxResolver::EncodeQueryName(c.domain), c.want) << c.domain;
  EXPECT_EQ(MxResolver::EncodeQueryName(std::string(63, 'a') + ".org"), std::string(1, 63) + std::string(63, 'a') + "\x03org");
  EXPECT_EQ(MxResolver::EncodeQueryName(std::string(64, 'a') + ".org"), "");
  std::string longName;
  while (longName.size() < 254) longName += "abcdefghi.";
  EXPECT_EQ(MxResolver::EncodeQueryName(longName.substr(0, 254)), "");
}

TEST(MxResolverTest, QueryDatagramLayout) {
  Bytes query = MxResolver::BuildQuery(MxResolver::EncodeQueryName("mail.example.org"), 0x11DF);
  Bytes want = {0x11, 0xDF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 4, 'm', 'a', 'i', 'l', 7, 'e', 'x', 'a', 'm', 'p', 'l',
                'e', 3, 'o', 'r', 'g', 0, 0, 15, 0, 1};
  EXPECT_EQ(query, want);
  EXPECT_EQ(query.size(), 17u + 17u);
}

std::string Parse(const DnsReply& reply, unsigned answers) { return MxResolver::ParseMxAnswer(reply.Build(), answers); }

TEST(MxResolverTest, ChoiceOfExchanger) {
  EXPECT_EQ(Parse(DnsReply(1, 2, "example.org").Mx(10, "a.example").Mx(5, "b.example"), 2), "b.example");
  EXPECT_EQ(Parse(DnsReply(1, 2, "example.org").Mx(10, "a.example").Mx(10, "b.example"), 2), "a.example");
  EXPECT_EQ(Parse(DnsReply(1, 1, "example.org").Mx(100, "mx.example"), 1), "mx.example");
  EXPECT_EQ(Parse(DnsReply(1, 2, "example.org").Other(5, {1, 'c', 0}).Mx(5, "mx.example"), 2), "mx.example");
  EXPECT_EQ(Parse(DnsReply(1, 3, "example.org").Mx(20, "a.example").Other(16, {3, 'x', 'y', 'z'}).Mx(5, "b.example"), 3),
            "b.example");
  EXPECT_EQ(Parse(DnsReply(1, 2, "example.org").Mx(40000, "high.example").Mx(10, "low.example"), 2), "low.example");
  EXPECT_EQ(Parse(DnsReply(1, 0, "example.org"), 0), "");
  EXPECT_EQ(Parse(DnsReply(1, 1, "example.org").Mx(10, ""), 1), "") << "the root is no exchanger";
}

// Every exchanger by preference, equals in the order of the reply, each once.
TEST(MxResolverTest, ExchangersInOrder) {
  using Names = std::vector<std::string>;
  struct Case {
    DnsReply reply;
    unsigned answers;
    Names want;
  };
  const Case cases[] = {
      {DnsReply(1, 3, "e.org").Mx(20, "c.e").Mx(10, "a.e").Mx(10, "b.e"), 3, {"a.e", "b.e", "c.e"}},
      {DnsReply(1, 3, "e.org").Mx(10, "b.e").Other(16, {1, 'x'}).Mx(10, "a.e"), 3, {"b.e", "a.e"}},
      {DnsReply(1, 2, "e.org").Mx(10, "a.e").Mx(5, ""), 2, {"", "a.e"}},
      {DnsReply(1, 2, "e.org").Mx(10, "a.e").Mx(5, "b.e"), 1, {"a.e"}},
  };
  for (const Case& c : cases) EXPECT_EQ(MxResolver::ParseMxAnswers(c.reply.Build(), c.answers), c.want);
}

TEST(MxResolverTest, AddressRecordsAreBoundedLikeExchangers) {
  struct Case {
    DnsReply reply;
    unsigned answers;
    uint16_t type;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {DnsReply(1, 2, "h.e", 1).Address("192.0.2.1").Address("192.0.2.2"), 2, 1, {"192.0.2.1", "192.0.2.2"}},
      {DnsReply(1, 2, "h.e", 28).Address("2001:db8::25").Address("::1"), 2, 28, {"2001:db8::25", "::1"}},
      {DnsReply(1, 2, "h.e", 28).Address("192.0.2.1").Address("::1"), 2, 28, {"::1"}},
      {DnsReply(1, 2, "h.e", 1).Other(1, {1, 2, 3}).Other(1, {1, 2, 3, 4, 5}), 2, 1, {}},
      {DnsReply(1, 2, "h.e", 1).Address("192.0.2.1").Other(5, {1, 'c', 0}), 2, 1, {"192.0.2.1"}},
      {DnsReply(1, 2, "h.e", 1).Address("192.0.2.1"), 2, 1, {"192.0.2.1"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const SocketAddress& a : MxResolver::ParseAddressAnswers(c.reply.Build(), c.answers, c.type, 25)) {
      EXPECT_EQ(a.port(), 25);
      got.push_back(a.HostText());
    }
    EXPECT_EQ(got, c.want);
  }
  Bytes whole = DnsReply(1, 1, "h.e", 28).Address("2001:db8::25").Build();
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    EXPECT_TRUE(MxResolver::ParseAddressAnswers(Bytes(whole.begin(), whole.begin() + cut), 1, 28, 25).empty()) << cut;
  }
}

TEST(MxResolverTest, CompressedNames) {
  // mx1 followed by a pointer to the question's example.org (offset 12).
  DnsReply pointed(1, 1, "example.org");
  pointed.Pointer(12).U16(15).U16(1).Bytes({0, 0, 1, 0}).U16(2 + 4 + 2).U16(10).Bytes({3, 'm', 'x', '1'}).Pointer(12);
  EXPECT_EQ(Parse(pointed, 1), "mx1.example.org");

  // A pointer to an offset above 255: the target name sits behind 300 bytes of padding.
  DnsReply far(1, 1, "example.org");
  far.Mx(10, "first.example");
  Bytes reply = far.Build();
  const size_t exchangeAt = reply.size() - 15;  // the exchange name "first.example"
  reply.resize(exchangeAt);
  reply.push_back(static_cast<uint8_t>(0xC0 | 300 >> 8));
  reply.push_back(300 & 0xFF);
  reply[exchangeAt - 4] = 0;
  reply[exchangeAt - 3] = 4;  // RDLENGTH: preference and pointer
  while (reply.size() < 300) reply.push_back(0xEE);
  for (uint8_t b : Bytes{3, 'f', 'a', 'r', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0}) reply.push_back(b);
  EXPECT_EQ(MxResolver::ParseMxAnswer(reply, 1), "far.example");

  // A pointer to itself never ends: the reply is faulty and the best before it stands.
  DnsReply loop(1, 2, "example.org");
  loop.Mx(30, "good.example");
  const uint16_t here = static_cast<uint16_t>(loop.Build().size() + 14);  // the pointer's own offset
  loop.Pointer(12).U16(15).U16(1).Bytes({0, 0, 1, 0}).U16(4).U16(1).Pointer(here);
  EXPECT_EQ(Parse(loop, 2), "good.example");
}

TEST(MxResolverTest, MalformedRepliesYieldTheBestSoFar) {
  Bytes whole = DnsReply(1, 2, "example.org").Mx(10, "a.example").Mx(5, "b.example").Build();
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    std::string got = MxResolver::ParseMxAnswer(Bytes(whole.begin(), whole.begin() + cut), 2);
    EXPECT_TRUE(got == "" || got == "a.example") << cut << ": " << got;
  }
  EXPECT_EQ(MxResolver::ParseMxAnswer(whole, 2), "b.example");
  EXPECT_EQ(MxResolver::ParseMxAnswer(whole, 40), "b.example") << "a count beyond the records";
  Bytes reserved = DnsReply(1, 1, "example.org").Mx(10, "a.example").Build();
  reserved[reserved.size() - 11] = 0x45;  // label type 01: reserved
  EXPECT_EQ(MxResolver::ParseMxAnswer(reserved, 1), "");
}

class LookupMxTest : public test::RelayFixture {
 protected:
  LookupMxTest() { relay().timings.dnsWait = std::chrono::milliseconds(200); }

  static uint16_t IdOf(const Bytes& query) { return static_cast<uint16_t>(query[0] << 8 | query[1]); }
  // A resolver as a worker makes one, from the settings of the moment.
  MxResolver Resolver(int family = AF_UNSPEC) {
    return MxResolver(
        relay().settings()->DNS, relay().timings.dnsWait, [this](const std::string& line) { relay().AppendLog(line); },
        [this] { return relay().StopOrCancelled(); }, family);
  }
  static std::string BracketedHost(const SocketAddress& a) { return "[" + a.HostText() + "]:" + std::to_string(a.port()); }
  // The best exchanger of the domain, or "".
  std::string Best(const std::string& domain) {
    std::vector<std::string> exchangers = Resolver().LookupExchangers(domain);
    return exchangers.empty() ? "" : exchangers.front();
  }
};

TEST_F(LookupMxTest, AsksTheConfiguredServerAndTakesItsAnswer) {
  DnsPeer peer([](const Bytes& query) {
    return DnsPeer::Answer{DnsReply(IdOf(query), 1, "example.org").Mx(10, "mx.example.org").Build(), {}};
  });
  Configure([&](Settings& s) { s.DNS = peer.server(); });
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Best("example.org"), "mx.example.org");
  auto queries = peer.Queries();
  ASSERT_EQ(queries.size(), 4u);
  EXPECT_EQ(queries[0], MxResolver::BuildQuery(MxResolver::EncodeQueryName("example.org"), IdOf(queries[0])));
  bool allAlike = true;
  for (const Bytes& query : queries) allAlike = allAlike && IdOf(query) == IdOf(queries[0]);
  EXPECT_FALSE(allAlike) << "each query draws its own ID";
  EXPECT_EQ(Best("bad..name"), "");
  EXPECT_EQ(peer.Queries().size(), 4u) << "an invalid name is never asked";
}

// Only the server's answer to this very query counts: its ID, and its question asked back.
TEST_F(LookupMxTest, OnlyTheServersAnswerToThisQueryCounts) {
  struct Case {
    const char* what;
    std::function<Bytes(Bytes)> forge;  // made of the right answer
    const char* want;
  };
  const Case cases[] = {
      {"the answer", [](Bytes b) { return b; }, "mx.example.org"},
      {"the question in other letter case", [](Bytes b) { b[13] = 'E'; b[21] = 'O'; return b; }, "mx.example.org"},
      {"another ID", [](Bytes b) { b[1] ^= 1; return b; }, ""},
      {"no response bit", [](Bytes b) { b[2] &= 0x7F; return b; }, ""},
      {"another name", [](Bytes b) { b[13] = 'x'; return b; }, ""},
      {"another type", [](Bytes b) { b[26] = 16; return b; }, ""},
      {"another class", [](Bytes b) { b[28] = 3; return b; }, ""},
      {"no question", [](Bytes b) { b[5] = 0; return b; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DnsPeer peer([&c](const Bytes& query) {
      // A stray datagram from another port comes first, and is passed over.
      Bytes stray = DnsReply(IdOf(query), 1, "example.org").Mx(1, "evil.example").Build();
      return DnsPeer::Answer{c.forge(DnsReply(IdOf(query), 1, "example.org").Mx(10, "mx.example.org").Build()), stray};
    });
    Configure([&](Settings& s) { s.DNS = peer.server(); });
    EXPECT_EQ(Best("example.org"), c.want);
  }
}

// An exchanger's name is a host name (letters, digits, '-', '_', '.'), or an address with a
// port as the server texts have it: a name holding anything else, a line end above all, is
// passed over and the next one taken, so that no DNS answer writes lines of its own into the log.
TEST_F(LookupMxTest, ExchangerNamesThatAreNoHostNamesArePassedOver) {
  struct Case {
    std::string name;
    bool taken;
  };
  const Case cases[] = {
      {"mx.example.org", true},        {"mx_1.Example-2.org", true},  {"127.0.0.1:2525", true},
      {"[::1]:2525", true},            {"mx.example.org:587", true},  {"mx.example\r\nSunday : forged", false},
      {"mx example.org", false},       {"mx\tx.example", false},      {std::string("m\0x.example", 11), false},
      {"mx/x.example", false},         {"mx.ex\xc3\xa4mple", false},  {"mx.example:smtp", false},
      {"mx.example:", false},          {"[mx.example]:25", false},    {"mx.example\x7f", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DnsPeer peer([&c](const Bytes& query) {
      return DnsPeer::Answer{DnsReply(IdOf(query), 2, "example.org").Mx(10, c.name).Mx(20, "next.example").Build(), {}};
    });
    Configure([&](Settings& s) { s.DNS = peer.server(); });
    std::vector<std::string> want = {"next.example"};
    if (c.taken) want.insert(want.begin(), c.name);
    EXPECT_EQ(Resolver().LookupExchangers("example.org"), want);
  }
  EXPECT_EQ(LogContent().find("forged"), std::string::npos);
}

// A name's addresses from the DNS server: AAAA then A, as the family allows; a reply too long
// for a datagram is asked again over TCP to the same server, on IPv4 or IPv6.
TEST_F(LookupMxTest, AddressesAndTruncatedRepliesOverTcp) {
  if (!test::HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  auto truncated = [](const Bytes& query) { return DnsPeer::Answer{DnsReply::To(query, 0).Truncated().Build(), {}}; };
  auto whole = [](const Bytes& query) {
    if (query[query.size() - 3] == 15) return DnsPeer::Answer{DnsReply::To(query, 2).Mx(20, "b.e").Mx(10, "a.e").Build(), {}};
    if (query[query.size() - 3] == 28) return DnsPeer::Answer{DnsReply::To(query, 1).Address("::1").Build(), {}};
    return DnsPeer::Answer{DnsReply::To(query, 2).Address("127.0.0.2").Address("127.0.0.3").Build(), {}};
  };
  using Names = std::vector<std::string>;
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    DnsPeer peer(truncated, whole, host);
    Configure([&](Settings& s) { s.DNS = peer.server(); });
    EXPECT_EQ(Resolver().LookupExchangers("e.org"), (Names{"a.e", "b.e"}));
    Names got;
    for (const SocketAddress& a : Resolver().LookupAddresses("mx.e.org", 2525)) got.push_back(BracketedHost(a));
    EXPECT_EQ(got, (Names{"[::1]:2525", "[127.0.0.2]:2525", "[127.0.0.3]:2525"}));
    got.clear();
    for (const SocketAddress& a : Resolver(AF_INET).LookupAddresses("mx.e.org", 25)) got.push_back(BracketedHost(a));
    EXPECT_EQ(got, (Names{"[127.0.0.2]:25", "[127.0.0.3]:25"}));
    EXPECT_EQ(peer.Queries().size(), 4u);
    EXPECT_EQ(peer.TcpQueries(), peer.Queries()) << "each truncated reply asked again as it was";
  }
  // Without TCP the truncated reply is all there is.
  DnsPeer udpOnly(truncated);
  Configure([&](Settings& s) { s.DNS = udpOnly.server(); });
  EXPECT_EQ(Best("e.org"), "");
}

// dnsmasq truncates a reply past 512 bytes to a query without EDNS, as the standard asks.
TEST_F(LookupMxTest, DnsmasqAnswersALongReplyOverTcp) {
  if (::access("/usr/sbin/dnsmasq", X_OK) != 0) GTEST_SKIP() << "dnsmasq is not installed";
  const int port = test::FreePort();
  std::vector<std::string> argv = {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                                   "--bind-interfaces", "--listen-address=127.0.0.1", "--port=" + std::to_string(port),
                                   "--pid-file=", "--conf-file=/dev/null"};
  if (::getuid() == 0) argv.push_back("--user=root");  // it would otherwise become nobody
  std::vector<std::string> want;
  for (int i = 0; i < 30; ++i) {
    std::string name = "exchanger-with-a-long-name-" + std::to_string(100 + i) + ".example.org";
    argv.push_back("--mx-host=example.org," + name + "," + std::to_string(10 + i));
    want.push_back(name);
  }
  test::ChildProcess dnsmasq(argv, {}, "/dev/null", "/dev/null", "/dev/null");
  ASSERT_TRUE(dnsmasq.started());
  Configure([&](Settings& s) { s.DNS = "127.0.0.1:" + std::to_string(port); });
  std::vector<std::string> got;
  EXPECT_TRUE(test::Eventually([&] { return !(got = Resolver().LookupExchangers("example.org")).empty(); }, 10000));
  want.resize(MxResolver::kMaxExchangers);
  EXPECT_EQ(got, want);
}

TEST_F(LookupMxTest, ASilentServerIsAskedTwiceThenGivenUp) {
  DnsPeer peer([](const Bytes&) { return DnsPeer::Answer{}; });
  Configure([&](Settings& s) { s.DNS = peer.server(); });
  EXPECT_EQ(Best("example.org"), "");
  EXPECT_EQ(peer.Queries().size(), 2u);
}

TEST_F(LookupMxTest, AnUnresolvableServerIsLoggedOncePerLookup) {
  Configure([&](Settings& s) { s.DNS = ""; });
  EXPECT_EQ(Best("example.org"), "");
  Configure([&](Settings& s) { s.DNS = "bad..name.invalid"; });
  EXPECT_EQ(Best("example.org"), "");
  const std::string log = LogContent();
  size_t first = log.find("Error : can't get DNS IP.\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Error : can't get DNS IP.\r\n", first + 1), std::string::npos);
}

}  // namespace
}  // namespace vellomar
