#include "dns/mx_resolver.h"

#include <gtest/gtest.h>

#include <functional>

#include "control/settings.h"
#include "support/dns_peer.h"
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
  MxResolver Resolver() {
    return MxResolver(
        relay().settings()->DNS, relay().timings.dnsWait, [this](const std::string& line) { relay().AppendLog(line); },
        [this] { return relay().StopOrCancelled(); });
  }
};

TEST_F(LookupMxTest, AsksTheConfiguredServerAndTakesItsAnswer) {
  DnsPeer peer([](const Bytes& query) {
    return DnsPeer::Answer{DnsReply(IdOf(query), 1, "example.org").Mx(10, "mx.example.org").Build(), {}};
  });
  Configure([&](Settings& s) { s.DNS = peer.server(); });
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Resolver().LookupMx("example.org"), "mx.example.org");
  auto queries = peer.Queries();
  ASSERT_EQ(queries.size(), 4u);
  EXPECT_EQ(queries[0], MxResolver::BuildQuery(MxResolver::EncodeQueryName("example.org"), IdOf(queries[0])));
  bool allAlike = true;
  for (const Bytes& query : queries) allAlike = allAlike && IdOf(query) == IdOf(queries[0]);
  EXPECT_FALSE(allAlike) << "each query draws its own ID";
  EXPECT_EQ(Resolver().LookupMx("bad..name"), "");
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
    EXPECT_EQ(Resolver().LookupMx("example.org"), c.want);
  }
}

TEST_F(LookupMxTest, ASilentServerIsAskedTwiceThenGivenUp) {
  DnsPeer peer([](const Bytes&) { return DnsPeer::Answer{}; });
  Configure([&](Settings& s) { s.DNS = peer.server(); });
  EXPECT_EQ(Resolver().LookupMx("example.org"), "");
  EXPECT_EQ(peer.Queries().size(), 2u);
}

TEST_F(LookupMxTest, AnUnresolvableServerIsLoggedOncePerLookup) {
  Configure([&](Settings& s) { s.DNS = ""; });
  EXPECT_EQ(Resolver().LookupMx("example.org"), "");
  Configure([&](Settings& s) { s.DNS = "bad..name.invalid"; });
  EXPECT_EQ(Resolver().LookupMx("example.org"), "");
  const std::string log = LogContent();
  size_t first = log.find("Error : can't get DNS IP.\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Error : can't get DNS IP.\r\n", first + 1), std::string::npos);
}

}  // namespace
}  // namespace vellomar
