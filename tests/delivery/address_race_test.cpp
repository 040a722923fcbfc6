#include "delivery/address_race.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "delivery/address_order.h"
#include "support/loopback.h"

namespace vellomar {
namespace {

using Texts = std::vector<std::string>;
using std::chrono::milliseconds;

SocketAddress At(const std::string& text, int port = 25) {
  in6_addr ipv6{};
  if (::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1) return SocketAddress::Ipv6(ipv6.s6_addr, static_cast<uint16_t>(port));
  in_addr ipv4{};
  EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &ipv4), 1) << text;
  return SocketAddress::Ipv4(reinterpret_cast<const uint8_t*>(&ipv4), static_cast<uint16_t>(port));
}

std::vector<SocketAddress> All(const Texts& texts) {
  std::vector<SocketAddress> addresses;
  for (const std::string& text : texts) addresses.push_back(At(text));
  return addresses;
}

Texts TextsOf(const std::vector<SocketAddress>& addresses) {
  Texts texts;
  for (const SocketAddress& address : addresses) texts.push_back(address.HostText());
  return texts;
}

// A machine with the given source addresses: one of the family reaches every destination.
SourceFinder Sources(Texts sources) {
  return [sources](const SocketAddress& destination) -> std::optional<SocketAddress> {
    for (const std::string& source : sources) {
      if (At(source).family() == destination.family()) return At(source);
    }
    return std::nullopt;
  };
}

TEST(AddressOrderTest, SortedAsTheSystemWouldThenTheFamiliesInterleaved) {
  struct Case {
    Texts given;
    Texts sources;
    Texts sorted;
    Texts interleaved;
  };
  const Case cases[] = {
      // One IPv4 address stays as it is.
      {{"192.0.2.25"}, {"192.0.2.1"}, {"192.0.2.25"}, {"192.0.2.25"}},
      // Global IPv6 before IPv4, each family in its order.
      {{"192.0.2.1", "192.0.2.2", "2001:db8::1", "2001:db8::2"},
       {"192.0.2.9", "2001:db8::9"},
       {"2001:db8::1", "2001:db8::2", "192.0.2.1", "192.0.2.2"},
       {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"}},
      // No IPv6 source: IPv6 is unreachable, so it goes last.
      {{"2001:db8::1", "192.0.2.1", "192.0.2.2"}, {"192.0.2.9"}, {"192.0.2.1", "192.0.2.2", "2001:db8::1"},
       {"192.0.2.1", "2001:db8::1", "192.0.2.2"}},
      // Loopback first; unique-local and 6to4 after IPv4 and before it as the table says.
      {{"fd00::1", "127.0.0.1", "::1", "2002:c000:201::1"},
       {"::1", "127.0.0.1"},
       {"::1", "127.0.0.1", "2002:c000:201::1", "fd00::1"},
       {"::1", "127.0.0.1", "2002:c000:201::1", "fd00::1"}},
      {{}, {}, {}, {}},
  };
  for (const Case& c : cases) {
    Texts sorted = TextsOf(SortForConnecting(All(c.given), Sources(c.sources)));
    EXPECT_EQ(sorted, c.sorted);
    EXPECT_EQ(TextsOf(InterleaveFamilies(All(sorted))), c.interleaved);
  }
}

// Real sockets on loopback: one address refusing, one silent (its SYNs dropped), one
// listening, raced in the given order.
TEST(AddressRaceTest, TheFirstToConnectWins) {
  int listening = 0;
  FileDescriptor listener = test::BindOn("127.0.0.3", SOCK_STREAM, 8, listening);
  test::SynDroppingPeer silent = test::DropSyns("127.0.0.4", listening);
  struct Case {
    Texts order;
    milliseconds connect;
    std::optional<size_t> winner;
    std::string failures;
  };
  const Case cases[] = {
      {{"127.0.0.3"}, milliseconds(5000), 0, ""},
      {{"127.0.0.2", "127.0.0.3"}, milliseconds(5000), 1, "[127.0.0.2]: Connection refused"},
      // The silent one is still under way when the next starts and wins: it never times out.
      {{"127.0.0.4", "127.0.0.3"}, milliseconds(20000), 1, ""},
      {{"127.0.0.2", "127.0.0.4"}, milliseconds(300), std::nullopt,
       "[127.0.0.2]: Connection refused; [127.0.0.4]: Connection timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order.front());
    std::vector<SocketAddress> addresses;
    for (const std::string& text : c.order) addresses.push_back(At(text, listening));
    AddressRace race(addresses, {c.connect, milliseconds(50)}, [] { return false; });
    auto winner = race.Connect();
    ASSERT_EQ(winner.has_value(), c.winner.has_value());
    if (winner) {
      EXPECT_EQ(winner->index, *c.winner);
    }
    EXPECT_EQ(race.Failures(), c.failures);
  }
  // A winner failed after connecting (a 4xx greeting) leaves the rest to race.
  AddressRace race({At("127.0.0.3", listening), At("127.0.0.2", listening)}, {milliseconds(5000), milliseconds(50)},
                   [] { return false; });
  ASSERT_TRUE(race.Connect());
  EXPECT_TRUE(race.OthersLeft(0));
  race.Fail(0, "421 busy");
  EXPECT_FALSE(race.Connect());
  EXPECT_EQ(race.Failures(), "[127.0.0.3]: 421 busy; [127.0.0.2]: Connection refused");
  // An abandoned race ends at once, whatever is under way.
  AddressRace abandoned({At("127.0.0.4", listening)}, {milliseconds(20000), milliseconds(50)}, [] { return true; });
  EXPECT_FALSE(abandoned.Connect());
}

}  // namespace
}  // namespace vellomar
