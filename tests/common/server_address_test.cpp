#include "common/server_address.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

namespace vellomar {
namespace {

TEST(ServerAddressTest, HostAndPortOfEitherFamily) {
  struct Case {
    const char* text;
    std::string host;
    uint16_t port;
  };
  const Case cases[] = {
      {"relay.example", "relay.example", 25},
      {"relay.example:587", "relay.example", 587},
      {"192.0.2.25:2525", "192.0.2.25", 2525},
      {"relay.example:0", "relay.example:0", 25},
      {"relay.example:65536", "relay.example:65536", 25},
      {"2001:db8::53", "2001:db8::53", 25},
      {"[2001:db8::53]", "2001:db8::53", 25},
      {"[2001:db8::53]:5353", "2001:db8::53", 5353},
      {"[::1]:", "[::1]:", 25},
      {"[relay.example]:587", "[relay.example]", 587},
  };
  for (const Case& c : cases) {
    ServerAddress parsed = ParseServerAddress(c.text, 25);
    EXPECT_EQ(parsed.host, c.host) << c.text;
    EXPECT_EQ(parsed.port, c.port) << c.text;
  }
  EXPECT_EQ(AddressFamilyOf("IPv4"), AF_INET);
  EXPECT_EQ(AddressFamilyOf("ipv6"), AF_INET6);
  EXPECT_EQ(AddressFamilyOf("any"), AF_UNSPEC);
  EXPECT_EQ(AddressFamilyOf("typo"), AF_UNSPEC);
}

}  // namespace
}  // namespace vellomar
