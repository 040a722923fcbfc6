#include "delivery/route.h"

#include "common/settings.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "dns/mx_resolver.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

Hop HopTo(Hop::Kind kind, const std::string& server, const Settings& settings) {
  return Hop{kind, server, NextRelaySecurityFor(settings, server, kind != Hop::Kind::NextRelay)};
}

// True relaying: the exchanger, then the alternate server when there is another one.
Route Exchangers(RelayServices& relay, const Settings& settings, const std::string& spoolName,
                 const std::string& recipientLine, MxResolver& resolver) {
  Route route;
  const std::string domain = RecipientDomain(recipientLine);
  const std::string exchanger = resolver.LookupMx(domain);
  const std::string& alternate = settings.Alternate;
  if (!exchanger.empty()) {
    route = RouteVia(settings, exchanger);
  } else if (!alternate.empty()) {
    relay.AppendLog("Warning : Using alternative SMTP server for domain " + domain);
    route.hops.push_back(HopTo(Hop::Kind::Alternate, alternate, settings));
  } else {
    relay.AppendLog("Error : no MX server found for domain " + domain);
    NoteDeliveryError(relay, spoolName, recipientLine, "no mail exchanger for domain " + domain);
  }
  return route;
}

}  // namespace

Route RouteFor(RelayServices& relay, const Settings& settings, const std::string& spoolName,
               const std::string& recipientLine, MxResolver& resolver) {
  if (settings.REAL_RELAY) return Exchangers(relay, settings, spoolName, recipientLine, resolver);
  return settings.SMTP.empty() ? Route{} : RouteVia(settings, settings.SMTP);
}

Route RouteVia(const Settings& settings, const std::string& server) {
  Route route;
  if (!settings.REAL_RELAY) {
    route.hops.push_back(HopTo(Hop::Kind::NextRelay, server, settings));
    return route;
  }
  route.hops.push_back(HopTo(Hop::Kind::Exchanger, server, settings));
  const std::string& alternate = settings.Alternate;
  if (!alternate.empty() && !EqualsIgnoreCase(alternate, server)) {
    route.hops.push_back(HopTo(Hop::Kind::Alternate, alternate, settings));
  }
  return route;
}

}  // namespace vellomar
