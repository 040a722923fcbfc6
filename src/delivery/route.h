#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delivery/next_relay_security.h"
#include "platform/socket_address.h"

namespace vellomar {

class HttpClient;
class MxResolver;
class RelaySessions;
class RelayServices;
struct DeliveryServices;
struct Settings;

// One server a recipient's copy may go to, and how it is reached: its TLS policy, the check
// of its certificate and the login it takes.
struct Hop {
  enum class Kind { NextRelay, Exchanger, Alternate };
  Kind kind = Kind::NextRelay;
  // "host" or "host:port", as the settings or the exchanger's answer give it.
  std::string server;
  NextRelaySecurity security;
  using Addresses = std::function<std::vector<SocketAddress>(const std::string& host, uint16_t port)>;
  // The addresses of the server's host with its port: an exchanger's by Vellomar's own queries,
  // or those the route found already; unset, the system's resolver finds them.
  Addresses addresses;
  // How mail is carried to it: the name of its transport (see TransportFor).
  std::string transport = "smtp";
  // The HTTP client of a transport over HTTPS ("graph"): the sign-ins' own, which trusts the
  // same authorities; `server` is then the service's base URL.
  std::shared_ptr<const HttpClient> http{};
  // Graph: whether the mailbox keeps a copy in its Sent Items (GraphSaveToSent).
  bool saveToSent = true;
};

// Where one recipient's copy goes: its hops in the order they are tried. A later hop is taken
// only when the one before could not be reached (its name not found, no address connecting);
// an exchanger with another after it also passes the recipient on for a 4xx reply or when it
// falls silent; and a 550 or 554 from an exchanger goes to the alternate server when there is
// one. Every other outcome settles the attempt at the hop where it happened. An empty route
// makes no attempt: the recipient stays pending.
struct Route {
  std::vector<Hop> hops;
  // Where connections to the hops are counted against `ConnectionsPerRelay`, under this
  // account's name; none: no cap.
  RelaySessions* sessions = nullptr;
  std::string account{};
};

// The route of one recipient line under the delivery's settings, the one place where the next
// hop is decided:
// - simple relaying: the next relay `SMTP` with its TLS and login values, or nothing when
//   `SMTP` is empty; with `SMTP_OAuth` set the login is XOAUTH2 with the tokens of that sign-in
//   (`delivery`'s), or nothing while the sign-in cannot be made: its values are wrong ("Error :
//   can't sign in: ..." in the log and as the recipient's last error) or it must be made again
//   (said once already, by the token source);
// - true relaying: every exchanger of the recipient's domain in order of preference
//   (`LookupExchangers`, each host's addresses by `LookupAddresses`), then `Alternate` when it
//   is set and is none of them; without an exchanger, `Alternate` alone ("Warning :
//   Using alternative SMTP server for domain ..." in the log) or nothing ("Error : no MX server
//   found for domain ...", kept as the recipient's last error). Exchangers and `Alternate` get
//   `MX_TLS` and never a login.
// A hop that resolves to the relay's own listener is passed over ("... loops back to myself" in
// the log); a recipient with no other hop gets none, the loop kept as its last error. The first
// hops' addresses are found here, up to one that leads elsewhere.
// A recipient without a domain is the caller's to settle before asking.
Route RouteFor(RelayServices& relay, DeliveryServices& delivery, const Settings& settings,
               const std::string& spoolName, const std::string& recipientLine, MxResolver& resolver);

// The route once its first server is known: the next relay in simple relaying; in true
// relaying that exchanger, then `Alternate` when it is set and is another server. The server's
// addresses come from the system's resolver.
Route RouteVia(const Settings& settings, const std::string& server);

}  // namespace vellomar
