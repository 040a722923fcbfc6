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

namespace vellomar {

std::string LookUpMachineName() {
  auto own = MachineHostName();
  if (!own || own.value().empty()) return "localhost";
  auto official = CanonicalHostName(own.value());
  return official && !official.value().empty() ? official.value() : own.value();
}

}  // namespace vellomar
