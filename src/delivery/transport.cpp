#include "delivery/transport.h"

#include "delivery/smtp_transport.h"

namespace vellomar {

namespace {

// Every way out a hop may name. A new transport is a file of its own behind `Transport` and a
// row here.
struct TransportRow {
  const char* name;
  std::unique_ptr<Transport> (*make)(const TransportContext& context);
};
constexpr TransportRow kTransports[] = {
    {"smtp", MakeSmtpTransport},
};

}  // namespace

std::unique_ptr<Transport> TransportFor(const std::string& name, const TransportContext& context) {
  for (const TransportRow& row : kTransports) {
    if (name == row.name) return row.make(context);
  }
  return nullptr;
}

}  // namespace vellomar
