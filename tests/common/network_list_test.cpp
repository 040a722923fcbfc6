#include "common/network_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "common/ip_address.h"

namespace vellomar {
namespace {

IpAddress Address(const char* text) {
  auto address = ParseIpAddress(text);
  EXPECT_TRUE(address.has_value()) << text;
  return address.value_or(IpAddress{});
}

TEST(IpAddressTest, ParsedOnlyFromAddressTextsAndShownAsTheTraceHeaderNamesThem) {
  struct Case {
    const char* text;
    const char* want;  // nullptr: not an address
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"192.0.2.200", "192.0.2.200"},
      {"::1", "IPv6:::1"},
      {"2001:DB8:0:0:0:0:0:1", "IPv6:2001:db8::1"},
      {"fe80::1", "IPv6:fe80::1"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4-mapped: shown and judged as IPv4
      {"::ffff:c000:207", "192.0.2.7"},
      {"::", "IPv6:::"},
      {"0.0.0.0", "0.0.0.0"},
      {"localhost", nullptr},
      {"256.0.0.1", nullptr},
      {"1.2.3", nullptr},
      {"[::1]", nullptr},
      {"fe80::1%lo", nullptr},
      {" 127.0.0.1", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    auto address = ParseIpAddress(c.text);
    if (c.want == nullptr) {
      EXPECT_FALSE(address.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(address.has_value()) << c.text;
    EXPECT_EQ(AddressLiteral(*address), c.want) << c.text;
  }
}

TEST(IpAddressTest, PeerAddressesOfBothFamilies) {
  sockaddr_storage storage{};
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(storage);
  ipv4.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.2", &ipv4.sin_addr);
  ASSERT_TRUE(IpAddressOf(storage).has_value());
  EXPECT_EQ(AddressLiteral(*IpAddressOf(storage)), "127.0.0.2");

  storage = {};
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(storage);
  ipv6.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &ipv6.sin6_addr);
  EXPECT_EQ(AddressLiteral(*IpAddressOf(storage)), "127.0.0.1") << "a dual-stack socket's IPv4 peer";
  ::inet_pton(AF_INET6, "::1", &ipv6.sin6_addr);
  EXPECT_EQ(AddressLiteral(*IpAddressOf(storage)), "IPv6:::1");

  storage = {};
  storage.ss_family = AF_UNIX;
  EXPECT_FALSE(IpAddressOf(storage).has_value());
}

TEST(NetworkListTest, EntriesAreNetworksOrSingleHosts) {
  struct Case {
    const char* entry;
    const char* base;  // nullptr: invalid
    int prefixBits;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.0.0.0", 96 + 8},
      {"10.1.2.3/8", "10.0.0.0", 96 + 8},  // host bits ignored
      {"192.0.2.1", "192.0.2.1", 128},     // a bare address is one host
      {"192.0.2.1/32", "192.0.2.1", 128},
      {"0.0.0.0/0", "::ffff:0.0.0.0", 96},
      {"::/0", "::", 0},
      {"::1", "::1", 128},
      {"::1/128", "::1", 128},
      {"fe80::1234/10", "fe80::", 10},
      {"fc00::/7", "fc00::", 7},
      {"::ffff:10.0.0.0/104", "10.0.0.0", 104},  // written as IPv6, prefix counted as IPv6
      {"10.0.0.0/008", "10.0.0.0", 96 + 8},
      {"10.0.0.0/33", nullptr, 0},
      {"::/129", nullptr, 0},
      {"10.0.0.0/", nullptr, 0},
      {"10.0.0.0/-1", nullptr, 0},
      {"10.0.0.0/8/8", nullptr, 0},
      {"10.0.0.0/0008", nullptr, 0},
      {"10.0.0.0/ 8", nullptr, 0},
      {"10/8", nullptr, 0},
      {"example.org", nullptr, 0},
      {"/8", nullptr, 0},
  };
  for (const Case& c : cases) {
    auto network = ParseNetwork(c.entry);
    if (c.base == nullptr) {
      EXPECT_FALSE(network.has_value()) << c.entry;
      continue;
    }
    ASSERT_TRUE(network.has_value()) << c.entry;
    EXPECT_EQ(network->base, Address(c.base)) << c.entry;
    EXPECT_EQ(network->prefixBits, c.prefixBits) << c.entry;
  }
}

TEST(NetworkListTest, ListsSplitAtBlanksAndCommasAndKeepTheInvalidEntries) {
  struct Case {
    const char* text;
    size_t networks;
    std::vector<std::string> invalid;
  };
  const Case cases[] = {
      {"", 0, {}},
      {" ,\t, \r\n", 0, {}},
      {"127.0.0.1", 1, {}},
      {"127.0.0.1,::1", 2, {}},
      {"127.0.0.1 , ::1\t10.0.0.0/8\n192.168.0.0/16,,", 4, {}},
      {"127.0.0.1 bad 10.0.0.0/40, ::1", 2, {"bad", "10.0.0.0/40"}},
      {"nonsense", 0, {"nonsense"}},
  };
  for (const Case& c : cases) {
    ParsedNetworkList parsed = ParseNetworkList(c.text);
    EXPECT_EQ(parsed.list.networks().size(), c.networks) << '"' << c.text << '"';
    EXPECT_EQ(parsed.invalid, c.invalid) << '"' << c.text << '"';
  }
}

TEST(NetworkListTest, MembershipAcrossFamiliesAndPrefixLengths) {
  struct Case {
    const char* list;
    const char* address;
    bool want;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"127.0.0.1", "::ffff:127.0.0.1", true},  // IPv4-mapped peers meet the IPv4 rules
      {"127.0.0.0/8", "::ffff:127.255.0.9", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"172.16.0.0/12", "172.31.255.255", true},
      {"172.16.0.0/12", "172.32.0.0", false},
      {"172.16.0.0/12", "172.15.255.255", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // all of IPv4 is no IPv6 address
      {"::/0", "2001:db8::1", true},
      {"::/0", "203.0.113.9", true},        // all of IPv6 holds the mapped range too
      {"::1/128", "::1", true},
      {"::1/128", "::2", false},
      {"::1", "127.0.0.1", false},
      {"fe80::/10", "febf:ffff::1", true},
      {"fe80::/10", "fec0::1", false},
      {"fc00::/7", "fd12:3456::1", true},
      {"fc00::/7", "fe00::1", false},
      {"192.0.2.1/32", "192.0.2.1", true},
      {"192.0.2.1/32", "192.0.2.0", false},
      {"", "127.0.0.1", false},
      {"10.0.0.0/8 192.168.1.0/24", "192.168.1.77", true},
      {"10.0.0.0/8 192.168.1.0/24", "192.168.2.77", false},
  };
  for (const Case& c : cases) {
    NetworkList list = ParseNetworkList(c.list).list;
    EXPECT_EQ(list.Contains(Address(c.address)), c.want) << c.address << " in " << c.list;
  }
}

}  // namespace
}  // namespace vellomar
