#include "delivery/route.h"

#include "common/settings.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/delivery_services.h"
#include "dns/mx_resolver.h"
#include "sign_in/oauth_tokens.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

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

// True relaying: the exchangers, then the alternate server when there is another one.
Route Exchangers(RelayServices& relay, const Settings& settings, const std::string& spoolName,
                 const std::string& recipientLine, MxResolver& resolver) {
  Route route;
  const std::string domain = RecipientDomain(recipientLine);
  const std::vector<std::string> exchangers = resolver.LookupExchangers(domain);
  if (!exchangers.empty()) {
    for (const std::string& exchanger : exchangers) {
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

}  // namespace

Route RouteFor(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
               const std::string& spoolName, const std::string& recipientLine, MxResolver& resolver) {
  if (settings.REAL_RELAY) return Exchangers(relay, settings, spoolName, recipientLine, resolver);
  if (settings.SMTP.empty()) return Route{};
  Route route = RouteVia(settings, settings.SMTP);
  if (settings.SMTP_OAuth.empty()) return route;
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
