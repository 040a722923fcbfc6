#include "smtp_server/local_host_name.h"

#include "platform/socket.h"

namespace vellomar {

std::string LookUpLocalHostName() {
  auto official = CanonicalHostName("localhost");
  if (official && !official.value().empty()) return official.value();
  auto own = MachineHostName();
  return own ? own.value() : "localhost";
}

}  // namespace vellomar
