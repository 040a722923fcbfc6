#include "platform/interface_addresses.h"

#include <ifaddrs.h>
#include <netinet/in.h>

namespace vellomar {

ErrorOr<std::vector<SocketAddress>> InterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return ErrorOr<std::vector<SocketAddress>>::Fail(errno);
  std::vector<SocketAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    socklen_t length = entry->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (auto address = SocketAddress::From(entry->ifa_addr, length)) addresses.push_back(*address);
  }
  ::freeifaddrs(list);
  return addresses;
}

}  // namespace vellomar
