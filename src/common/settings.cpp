#include "common/settings.h"

namespace vellomar {

NetworkList DefaultAllowedNetworks() {
  return ParseNetworkList("127.0.0.0/8 ::1/128 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 fe80::/10 fc00::/7")
      .list;
}

Settings& TheSettings() {
  static Settings settings;
  return settings;
}

}  // namespace vellomar
