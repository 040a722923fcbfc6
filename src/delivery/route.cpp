#include "delivery/route.h"

#include "common/graph_limits.h"
#include "common/ip_address.h"
#include "common/server_address.h"
#include "common/settings.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/delivery_services.h"
#include "delivery/own_addresses.h"
#include "dns/mx_resolver.h"
#include "platform/host_lookup.h"
#include "sign_in/oauth_tokens.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr uint16_t kSmtpPort = 25;

Hop HopTo(Hop::Kind kind, const std::string& server, const Settings& settings) {
  return Hop{kind, server, NextRelaySecurityFor(settings, server, kind != Hop::Kind::NextRelay), {}};
}

// The alternate server last, unless it is one of the exchangers: it was tried in its place.
void AddAlternate(Route& route, const Settings& settings) {
  const std::string& alternate = settings.Alternate;
  if (alternate.empty()) return;
  for (const Hop& hop : route.hops) {
    if (EqualsIgnoreCase(alternate, hop.server)) return;
  }
  route.hops.push_back(HopTo(Hop::Kind::Alternate, alternate, settings));
}

// An exchanger written as an address breaks RFC 5321 (5.1), but setups rely on it: it is
// dialled all the same, with a warning once while the relay runs.
void WarnOfNumericExchanger(RelayServices& relay, DeliveryServices& delivery, const std::string& exchanger,
                            const std::string& domain) {
  if (!ParseIpAddress(ParseServerAddress(exchanger, kSmtpPort).host)) return;
  if (!delivery.saidOnce.First("numeric exchanger " + exchanger)) return;
  relay.AppendLog("Warning : mail exchanger " + exchanger + " of domain " + domain +
                  " is an address, not a host name; dialled all the same");
}

// True relaying: the exchangers, then the alternate server when there is another one.
Route Exchangers(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
                 const std::string& spoolName, const std::string& recipientLine, MxResolver& resolver) {
  Route route;
  const std::string domain = RecipientDomain(recipientLine);
  const std::vector<std::string> exchangers = resolver.LookupExchangers(domain);
  if (!exchangers.empty()) {
    for (const std::string& exchanger : exchangers) {
      WarnOfNumericExchanger(relay, delivery, exchanger, domain);
      Hop hop = HopTo(Hop::Kind::Exchanger, exchanger, settings);
      hop.addresses = [&resolver](const std::string& host, uint16_t port) {
        return resolver.LookupAddresses(host, port);
      };
      route.hops.push_back(std::move(hop));
    }
    AddAlternate(route, settings);
  } else if (!settings.Alternate.empty()) {
    relay.AppendLog("Warning : Using alternative SMTP server for domain " + domain);
    route.hops.push_back(HopTo(Hop::Kind::Alternate, settings.Alternate, settings));
  } else {
    relay.AppendLog("Error : no MX server found for domain " + domain);
    NoteDeliveryError(relay, spoolName, recipientLine, "no mail exchanger for domain " + domain);
  }
  return route;
}

// The next relay's login with the tokens of the settings' sign-in. False, the recipient
// staying pending, while no token can be had: connecting would only cost a connection. Wrong
// values and a token endpoint out of reach are logged at every attempt, like any fault of the
// settings or the network; a sign-in to be made again was logged once by its token source.
bool SignInAtNextRelay(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
                       const std::string& spoolName, const std::string& recipientLine, Hop& hop) {
  SignIns::Choice choice = delivery.signIns.For(NextRelaySignIn(settings));
  if (!choice.tokens) {
    relay.AppendLog("Error : can't sign in: " + choice.problem);
    NoteDeliveryError(relay, spoolName, recipientLine, "can't sign in: " + choice.problem);
    return false;
  }
  OAuthTokens::Token token = choice.tokens->Get();
  switch (token.kind) {
    case OAuthTokens::Token::Kind::Ready:
      hop.security.tokens = choice.tokens;
      return true;
    case OAuthTokens::Token::Kind::Unavailable:
      relay.AppendLog(token.reason);
      break;
    case OAuthTokens::Token::Kind::SignInNeeded:
      break;
    case OAuthTokens::Token::Kind::Cancelled:
      return false;
  }
  NoteDeliveryError(relay, spoolName, recipientLine, WithoutErrorMark(token.reason));
  return false;
}

std::string HopName(const Hop& hop) {
  switch (hop.kind) {
    case Hop::Kind::NextRelay:
      return "next relay " + hop.server;
    case Hop::Kind::Exchanger:
      return "mail exchanger " + hop.server;
    case Hop::Kind::Alternate:
      break;
  }
  return "alternative SMTP server " + hop.server;
}

// The server's addresses as the delivery would find them: an exchanger's by Vellomar's own
// queries, any other's by the system's resolver.
std::vector<SocketAddress> LookUp(RelayServices& relay, int family, const Hop::Addresses& find, const std::string& host,
                                  uint16_t port) {
  if (find) return find(host, port);
  auto found = LookUpHost(host, port, family, [&relay] { return relay.StopOrCancelled(); });
  return found ? found.value() : std::vector<SocketAddress>{};
}

// The addresses that are not the relay's own; each one left out is logged.
std::vector<SocketAddress> WithoutOwn(RelayServices& relay, const OwnAddresses& own, const std::string& hopName,
                                      const std::vector<SocketAddress>& addresses) {
  std::vector<SocketAddress> others;
  for (const SocketAddress& address : addresses) {
    if (!own.Contains(address)) {
      others.push_back(address);
    } else {
      relay.AppendLog("Warning : " + hopName + " loops back to myself ([" + address.HostText() + "]:" +
                      std::to_string(address.port()) + "), passed over");
    }
  }
  return others;
}

// A hop whose addresses are looked up when it is tried, the relay's own left out then.
void CheckWhenTried(RelayServices& relay, const Settings& settings, const OwnAddresses& own, Hop& hop) {
  hop.addresses = [&relay, own, family = AddressFamilyOf(settings.IPFamily), find = hop.addresses,
                   hopName = HopName(hop)](const std::string& host, uint16_t port) {
    return WithoutOwn(relay, own, hopName, LookUp(relay, family, find, host, port));
  };
}

// A hop that leads back to the relay itself (its listener, on an address of this machine) is
// passed over: the mail would come straight back and go round for ever. The hops' addresses
// are looked up here in turn until one has an address elsewhere, and are the hops' own from
// then on; those after it, which may never be tried, are checked when they are. A route left
// with no hop makes no attempt, the loop its recipient's last error.
void PassOverLoops(RelayServices& relay, const Settings& settings, const std::string& spoolName,
                   const std::string& recipientLine, Route& route) {
  const OwnAddresses own = OwnAddresses::Of(relay);
  if (own.empty()) return;
  std::vector<Hop> kept;
  std::string looped;
  bool reachable = false;
  for (Hop& hop : route.hops) {
    if (reachable) {
      CheckWhenTried(relay, settings, own, hop);
      kept.push_back(std::move(hop));
      continue;
    }
    ServerAddress address = ParseServerAddress(hop.server, kSmtpPort);
    std::vector<SocketAddress> found =
        LookUp(relay, AddressFamilyOf(settings.IPFamily), hop.addresses, address.host, address.port);
    std::vector<SocketAddress> others = WithoutOwn(relay, own, HopName(hop), found);
    if (!found.empty() && others.empty()) {
      looped = hop.server;
      continue;
    }
    reachable = !others.empty();
    hop.addresses = [others](const std::string&, uint16_t) { return others; };
    kept.push_back(std::move(hop));
  }
  route.hops = std::move(kept);
  if (route.hops.empty() && !looped.empty()) {
    relay.AppendLog("Error : " + looped + " loops back to myself, and no other server takes " +
                    RecipientAddress(recipientLine));
    NoteDeliveryError(relay, spoolName, recipientLine, looped + " loops back to myself");
  }
}

// An account that sends through Microsoft Graph: one hop, the service at `GraphUrl`, as the
// mailbox `SMTP_User`, with the tokens of the account's sign-in, in either relaying mode.
Route GraphRoute(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
                 const std::string& spoolName, const std::string& recipientLine) {
  Hop hop;
  hop.server = settings.GraphUrl;
  while (!hop.server.empty() && hop.server.back() == '/') hop.server.pop_back();
  hop.transport = "graph";
  hop.security.user = settings.SMTP_User;
  hop.http = delivery.signIns.http();
  hop.saveToSent = settings.GraphSaveToSent;
  std::string problem;
  if (hop.server.rfind("https://", 0) != 0) problem = "GraphUrl must be an https: address";
  if (settings.SMTP_User.empty()) problem = "Transport=graph needs the mailbox to send as in SMTP_User";
  if (settings.SMTP_OAuth.empty()) problem = "Transport=graph needs a sign-in (SMTP_OAuth)";
  if (!problem.empty()) {
    relay.AppendLog("Error : " + problem);
    NoteDeliveryError(relay, spoolName, recipientLine, problem);
    return Route{};
  }
  Route route;
  if (!SignInAtNextRelay(relay, delivery, settings, spoolName, recipientLine, hop)) return route;
  route.hops.push_back(std::move(hop));
  return route;
}

}  // namespace

Route RouteFor(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
               const std::string& spoolName, const std::string& recipientLine, MxResolver& resolver) {
  if (SendsThroughGraph(settings)) return GraphRoute(relay, delivery, settings, spoolName, recipientLine);
  Route route;
  if (settings.REAL_RELAY) {
    route = Exchangers(relay, delivery, settings, spoolName, recipientLine, resolver);
  } else if (!settings.SMTP.empty()) {
    route = RouteVia(settings, settings.SMTP);
  }
  PassOverLoops(relay, settings, spoolName, recipientLine, route);
  if (settings.REAL_RELAY || route.hops.empty() || settings.SMTP_OAuth.empty()) return route;
  return SignInAtNextRelay(relay, delivery, settings, spoolName, recipientLine, route.hops.front()) ? route : Route{};
}

Route RouteVia(const Settings& settings, const std::string& server) {
  Route route;
  if (!settings.REAL_RELAY) {
    route.hops.push_back(HopTo(Hop::Kind::NextRelay, server, settings));
    return route;
  }
  route.hops.push_back(HopTo(Hop::Kind::Exchanger, server, settings));
  AddAlternate(route, settings);
  return route;
}

}  // namespace vellomar
