#include "delivery/transport.h"

namespace vellomar {

// Each transport lives in a file of its own, behind `Transport`, and is made by its maker.
std::unique_ptr<Transport> MakeSmtpTransport(const TransportContext& context);
std::unique_ptr<Transport> MakeGraphTransport(const TransportContext& context);

namespace {

// Every way out a hop may name: a new transport is its file and a row here.
struct TransportRow {
  const char* name;
  std::unique_ptr<Transport> (*make)(const TransportContext& context);
};
constexpr TransportRow kTransports[] = {
    {"smtp", MakeSmtpTransport},
    {"graph", MakeGraphTransport},
};

}  // namespace

std::unique_ptr<Transport> TransportFor(const std::string& name, const TransportContext& context) {
  for (const TransportRow& row : kTransports) {
    if (name == row.name) return row.make(context);
  }
  return nullptr;
}

}  // namespace vellomar
