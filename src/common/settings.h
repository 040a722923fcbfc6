#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/network_list.h"

namespace vellomar {

// The clients served when `Allow` names none: the machine itself and its local networks
// (loopback, the private IPv4 ranges, link-local, unique-local IPv6).
NetworkList DefaultAllowedNetworks();

struct Settings;

// One more account at the next relay, from its own store section: its name, and the relay's
// settings with the account's values (the next relay, its login, sender and pace) in place of
// the default account's.
struct Account {
  std::string name;
  std::shared_ptr<const Settings> values;
};

// The stored values as one immutable snapshot: one field per value, named after it. Every
// field's key, default, parsing and editor are declared once, in the settings table
// (settings_table.h); a default-constructed snapshot holds every default. A relay publishes a
// new snapshot when the settings change (start-up, a confirmed dialog) and each delivery keeps
// the one it started with, so the fields are never seen half replaced.
struct Settings {
  Settings();

  // Counts the snapshots a relay published: "the settings changed" is a version comparison.
  uint64_t version = 0;

  bool REAL_RELAY;
  std::string SMTP;
  std::string DNS;
  std::string Alternate;
  bool Minimize;
  int32_t Logsize;
  bool Logrec;
  bool Logabo;
  bool Logdel;
  int32_t Input;
  int32_t Output;
  // Only clients from these networks are served; the listener refuses the others.
  NetworkList Allow;
  // How the next relay (`SMTP`) is reached: "none", "may", "starttls" or "tls"; empty picks by
  // the user and port.
  std::string SMTP_TLS;
  std::string SMTP_User;
  std::string SMTP_Password;
  // A command whose first output line is the password (or the XOAUTH2 access token).
  std::string SMTP_PasswordCommand;
  // Empty: the best of PLAIN and LOGIN the server offers; or "XOAUTH2".
  std::string SMTP_Auth;
  // The SHA-256 of the next relay's certificate, in place of the chain and name check.
  std::string SMTP_Fingerprint;
  // Exchangers and `Alternate`: "none" or "may".
  std::string MX_TLS;
  // The sign-in whose access tokens log in at the next relay (XOAUTH2, `SMTP_User` the
  // mailbox): "microsoft", "google" or "custom"; empty for none. The client that signs in, and
  // for "custom" the provider's endpoints and the scope asked for.
  std::string SMTP_OAuth;
  std::string SMTP_OAuthClientId;
  std::string SMTP_OAuthClientSecret;
  std::string SMTP_OAuthTenant;
  std::string SMTP_OAuthAuthorizeUrl;
  std::string SMTP_OAuthTokenUrl;
  std::string SMTP_OAuthDeviceUrl;
  std::string SMTP_OAuthScope;
  // "user": a person signs in once and a refresh token carries on; "app": the client signs in
  // as itself (client credentials), with SMTP_OAuthClientSecret or the PEM file
  // SMTP_OAuthCertificate holding its certificate and key, or, at Google, the service
  // account's JSON key file SMTP_OAuthServiceAccount.
  std::string SMTP_OAuthFlow;
  std::string SMTP_OAuthCertificate;
  std::string SMTP_OAuthServiceAccount;
  // Days a recipient may stay pending before it is given up with a notice; 0: for ever.
  int32_t Lifetime;
  // Which address families reach a server: "any" (IPv6 and IPv4), "ipv4" or "ipv6".
  std::string IPFamily;
  // Local names (mail from this machine's programs, and loopback clients naming a bare user):
  // the aliases file (empty: /etc/aliases), where names no alias takes go, the domain that
  // makes an address local and completes a bare one (empty: the machine's full name), and
  // the sender a provider accepts in place of a local one.
  std::string Aliases;
  std::string AdminAddress;
  std::string LocalDomain;
  std::string LocalSender;
  // The listener: its ports ("25 587 465", a port with "/tls" or 465 speaks TLS from the first
  // byte; empty: VELLOMAR_SMTP_PORT or 25), its certificate and key (PEM files, or "self" for
  // one it makes), the oldest TLS version it takes ("1.0" to "1.3"), whether a login may go in
  // the clear, whether every client must log in, and the largest message (bytes; 0: no limit).
  std::string Ports;
  std::string TLS_Certificate;
  std::string TLS_Key;
  std::string TLS_MinVersion;
  bool AuthInClear;
  bool RequireAuth;
  int32_t MaxSize;
  // The account's side of the next relay (the values from `SMTP` on belong to the default
  // account): the senders an account section sends for (addresses and "*@domain" patterns),
  // the address it sends as (empty: the client's own), messages per connection and
  // connections at once (0: by its TLS and login), and its pace (0: none).
  std::string Senders;
  std::string RewriteSender;
  int32_t MessagesPerConnection;
  int32_t ConnectionsPerRelay;
  int32_t MaxPerMinute;
  int32_t MaxRecipientsPerDay;
  // How the account's mail leaves: "smtp" (the next relay `SMTP`) or "graph" (Microsoft Graph's
  // sendMail at `GraphUrl`, as the mailbox `SMTP_User`, with the sign-in's tokens), and
  // whether Graph keeps a copy in the mailbox's Sent Items.
  std::string Transport = "smtp";
  std::string GraphUrl;
  bool GraphSaveToSent;
  // Desktop notifications of given-up mail, sign-ins and logins to mend, a spool that cannot
  // be written and mail waiting over an hour (1: shown where there is a tray).
  bool Notify;
  // `vellomar --status`: minutes the oldest waiting message may wait before the status is a
  // warning, and critical (0: never).
  int32_t WarnAfter;
  int32_t CriticalAfter;
  // The accounts of the store's "Accounts" sections, in name order.
  std::vector<Account> Accounts;
};

}  // namespace vellomar
