// Microsoft Graph, for an account whose tenant takes no SMTP: a message goes out whole with one
// POST {GraphUrl}/users/{mailbox}/sendMail, its MIME in base64 as text/plain, with the
// sign-in's access token. Graph sends to whom the message's header names, not to an
// envelope, so the envelope is made to match the header for the call: each pending recipient
// the To: and Cc: leave out is named in a Bcc: field added on the way out (the spool file
// keeps the message as it came), and a message whose header names someone who is not a
// pending recipient (an alias expanded, a Bcc copy, a partial delivery retried) is held back
// with that reason rather than sent to the wrong set. One reply settles every recipient:
// 202 delivered; 401 once more with a renewed token; 429, 503 and 504 deferred, not before
// the service's Retry-After; 400, 403, 404 and 413 refused for good with the service's code
// and message; no complete reply after the request went out deferred (it may have been
// sent: as with SMTP, a message can then arrive twice).

#include <cctype>
#include <cerrno>
#include <set>

#include "common/address_list.h"
#include "common/base64.h"
#include "common/graph_limits.h"
#include "common/settings.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/graph_reply.h"
#include "delivery/route.h"
#include "delivery/sender_rewrite.h"
#include "delivery/transport.h"
#include "platform/http_client.h"
#include "sign_in/oauth_tokens.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

using Kind = RecipientOutcome::Kind;
using Cause = RecipientOutcome::Cause;

// The message as the spool file holds it, its data unstuffed.
struct StoredMessage {
  std::string mailLine;
  std::string data;
  bool complete = false;  // the end of the data was found
  bool tooLarge = false;  // its data passed what Graph could take
};

// Reads the stored dialogue: the MAIL line, then the data after DATA up to its end line, dot
// stuffing undone. Stops reading past what Graph takes, so that no file costs more memory.
StoredMessage ReadMessage(SpoolFile& file) {
  StoredMessage message;
  std::string line;
  bool inData = false, atLineStart = true;
  while (ReadLine(file, line)) {
    const bool startsLine = atLineStart;
    atLineStart = line.back() == '\n';
    if (!inData) {
      if (StartsWithIgnoreCase(line, "MAIL FROM:")) message.mailLine = line;
      inData = !IsRecipientLine(line) && StartsWithIgnoreCase(line, "DATA");
      continue;
    }
    if (startsLine && line == kEndOfDataLine) {
      message.complete = true;
      return message;
    }
    message.data += startsLine && line.rfind("..", 0) == 0 ? line.substr(1) : line;
    if (message.data.size() > kGraphLargestMime) {
      message.tooLarge = true;
      return message;
    }
  }
  return message;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The header block (up to and including the empty line) and the body after it.
std::pair<std::string, std::string> SplitHeader(const std::string& data) {
  size_t end = data.rfind("\r\n", 0) == 0 ? 0 : data.find("\r\n\r\n");
  if (end == std::string::npos) return {data, ""};
  end += end == 0 ? 2 : 4;
  return {data.substr(0, end), data.substr(end)};
}

// The addresses (lower case) the header's To:, Cc: and Bcc: fields name, folded lines joined.
std::set<std::string> HeaderRecipients(const std::string& header) {
  std::set<std::string> named;
  std::string field;
  auto take = [&named](const std::string& f) {
    const size_t colon = f.find(':');
    if (colon == std::string::npos) return;
    std::string name = Lower(f.substr(0, colon));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name != "to" && name != "cc" && name != "bcc") return;
    for (const ListedMailbox& box : ParseAddressList(f.substr(colon + 1))) named.insert(Lower(box.address));
  };
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    end = end == std::string::npos ? header.size() : end + 1;
    const std::string line = header.substr(start, end - start);
    start = end;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      field += line;
      continue;
    }
    take(field);
    field = line;
  }
  take(field);
  return named;
}

// What one sendMail call is to carry, or why it must not be made.
struct Prepared {
  std::string mime;
  RecipientOutcome refusal{};  // set (kind other than Delivered) when the call is not made
  bool ready = false;
};

Prepared Prepare(const Delivery& d, const StoredMessage& message) {
  Prepared p;
  if (message.tooLarge) {
    p.refusal = {Kind::Refused, "", "message too large for Microsoft Graph (at most " +
                                        std::to_string(kGraphLargestMessage) + " bytes)"};
    return p;
  }
  if (!message.complete) {
    p.refusal = {Kind::Refused, "", "unexpected EOF"};
    return p;
  }
  auto [header, body] = SplitHeader(message.data);
  // A failure notice goes out as it was written.
  const bool notice = EnvelopeAddress(AfterFirstColon(message.mailLine)) == "<>";
  if (!d.sendAs.empty() && !notice) header = RewriteFromHeader(header, d.sendAs);
  std::set<std::string> pending;
  std::vector<std::string> missing;
  for (const PendingRecipient& r : d.recipients) {
    std::string address = RecipientAddress(r.line);
    // "<a@example.org>" and any blanks around it: the address alone.
    const size_t open = address.find('<'), close = address.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      address = address.substr(open + 1, close - open - 1);
    }
    if (pending.insert(Lower(address)).second) missing.push_back(address);
  }
  const std::set<std::string> named = HeaderRecipients(header);
  for (const std::string& address : named) {
    if (pending.count(address) == 0) {
      const std::string why = "the header names " + address +
                              ", who is not a pending recipient, and Microsoft Graph sends to the header's "
                              "recipients: held back rather than sent to the wrong people";
      p.refusal = {Kind::Deferred, "", why};
      return p;
    }
  }
  std::string bcc;
  for (const std::string& address : missing) {
    if (named.count(Lower(address)) == 0) bcc += (bcc.empty() ? "Bcc: " : ",\r\n ") + address;
  }
  p.mime = (bcc.empty() ? "" : bcc + "\r\n") + header + body;
  if (p.mime.size() > kGraphLargestMime) {
    p.refusal = {Kind::Refused, "", "message too large for Microsoft Graph (at most " +
                                        std::to_string(kGraphLargestMessage) + " bytes)"};
    return p;
  }
  p.ready = true;
  return p;
}

// The mailbox as one segment of the URL's path.
std::string PathSegment(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string segment;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~' || c == '@') {
      segment += c;
    } else {
      segment += '%';
      segment += kHex[byte >> 4];
      segment += kHex[byte & 0xf];
    }
  }
  return segment;
}

std::string StatusText(const HttpResult& reply, const GraphError& error) {
  const std::string text = error.Text();
  return "HTTP " + std::to_string(reply.status) + (text.empty() ? "" : " " + text);
}

// What the service's reply makes of the message.
RecipientOutcome OutcomeOf(const HttpResult& reply, const std::string& service) {
  if (reply.status >= 200 && reply.status < 300) return {Kind::Delivered, "", "", "sendMail"};
  const GraphError error = ParseGraphError(reply.body);
  const std::string text = StatusText(reply, error);
  switch (reply.status) {
    case 400:
    case 403:
    case 404:
    case 413: {
      const bool size = reply.status == 413 || IsSizeError(error);
      return {Kind::Refused, text, (size ? "message too large for " : "refused by ") + service + ": " + text,
              "sendMail"};
    }
    default:
      break;
  }
  RecipientOutcome deferred{Kind::Deferred, text, service + " asked to try later: " + text, "sendMail"};
  if (reply.status == 429 || reply.status == 503 || reply.status == 504) {
    deferred.retryAfter = RetryAfterOf(reply.Header("retry-after"));
  }
  return deferred;
}

class GraphTransport final : public Transport {
 public:
  explicit GraphTransport(const TransportContext& context) : c_(context) {}
  Carried Carry(const Delivery& d, OutcomeSink& sink) override;

 private:
  bool Say(const Delivery& d, OutcomeSink& sink, const RecipientOutcome& outcome) const;
  Carried Send(const Delivery& d, OutcomeSink& sink, const std::string& request);

  const TransportContext c_;
};

bool GraphTransport::Say(const Delivery& d, OutcomeSink& sink, const RecipientOutcome& outcome) const {
  std::vector<size_t> all(d.recipients.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  return all.empty() || sink.Settled(all, outcome);
}

Carried GraphTransport::Carry(const Delivery& d, OutcomeSink& sink) {
  if (!d.file.Rewind()) {
    (void)Say(d, sink, {Kind::NotReached, "", "", "", "Error : can't read " + d.spoolName});
    return {};
  }
  const StoredMessage message = ReadMessage(d.file);
  if (d.file.ReadFailed()) {
    (void)Say(d, sink, {Kind::NotReached, "", "", "", "Error : can't read " + d.spoolName});
    return {};
  }
  Prepared prepared = Prepare(d, message);
  if (!prepared.ready) {
    if (prepared.refusal.kind == Kind::Deferred) c_.relay.AppendLog("Error : " + d.spoolName + ": " + prepared.refusal.reason);
    (void)Say(d, sink, prepared.refusal);  // a failed write holds the file
    return {};
  }
  return Send(d, sink, Base64Encode(prepared.mime));
}

Carried GraphTransport::Send(const Delivery& d, OutcomeSink& sink, const std::string& request) {
  const std::string service = "Microsoft Graph at " + d.hop.server;
  const std::string url = d.hop.server + "/users/" + PathSegment(d.hop.security.user) + "/sendMail";
  if (!d.hop.security.tokens || !d.hop.http) {
    (void)Say(d, sink, {Kind::NotReached, "", "no sign-in for " + service, "", "Error : no sign-in for " + service});
    return {};
  }
  bool counted = false;
  for (int attempt = 0;; ++attempt) {
    OAuthTokens::Token token = d.hop.security.tokens->Get();
    if (token.kind == OAuthTokens::Token::Kind::Cancelled) return Carried{true};
    if (token.kind != OAuthTokens::Token::Kind::Ready) {
      const std::string log = token.kind == OAuthTokens::Token::Kind::Unavailable ? token.reason : "";
      (void)Say(d, sink, {Kind::NotReached, "", WithoutErrorMark(token.reason), "", log});
      return {};
    }
    if (!counted) sink.Reached();
    counted = true;
    const HttpResult reply = d.hop.http->Post(
        url, {"Authorization: Bearer " + token.accessToken, "Content-Type: text/plain", "Accept: application/json"},
        request, c_.relay.stop());
    if (reply.error == ECANCELED) return Carried{true};
    if (reply.error == ECONNREFUSED || reply.error == EHOSTUNREACH || reply.error == ELIBACC) {
      const std::string why = "can't reach " + service + ": " + reply.reason;
      (void)Say(d, sink, {Kind::NotReached, "", why, "", "Error : " + why, Cause::NoConnection});
      return {};
    }
    if (!reply.ok()) {
      // The request may have reached the service: trying again may send it twice, which beats
      // losing it.
      const std::string why = "no complete reply from " + service + " (the message may have been sent): " + reply.reason;
      c_.relay.AppendLog("Error : " + why);
      (void)Say(d, sink, {Kind::Deferred, "", why, "sendMail"});
      return {};
    }
    if (reply.status == 401 && attempt == 0 && d.hop.security.tokens->Refused(token.accessToken)) continue;
    RecipientOutcome outcome = OutcomeOf(reply, service);
    if (reply.status == 401) {
      outcome = {Kind::NotReached, "", service + " refused the sign-in's token: " + StatusText(reply, ParseGraphError(reply.body)),
                 "", ""};
      outcome.log = "Error : " + outcome.reason;
    }
    (void)Say(d, sink, outcome);  // a failed write holds the file
    return {};
  }
}

}  // namespace

// Declared where the transports are chosen (transport.cpp).
std::unique_ptr<Transport> MakeGraphTransport(const TransportContext& context) {
  return std::make_unique<GraphTransport>(context);
}

}  // namespace vellomar
