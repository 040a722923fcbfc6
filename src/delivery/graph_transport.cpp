// Microsoft Graph, for an account whose tenant takes no SMTP. Graph sends to whom the
// message's header names, not to an envelope, so a message goes one of two ways, each call
// with the sign-in's access token, the MIME going in base64 as text/plain:
// - the header names nobody but pending recipients (the common case): one
//   POST {GraphUrl}/users/{mailbox}/sendMail, each pending recipient the To: and Cc: leave out
//   named in a Bcc: field added for the call;
// - it names someone else (an alias the client expanded, a Bcc copy, a partial delivery
//   retried): sendMail would reach them too, so the lists are set one by one on a draft.
//   POST .../messages makes it from the MIME (201, its id); PATCH .../messages/{id} sets To:
//   to the header's To: that are pending, Cc: likewise, Bcc: to every other pending recipient,
//   and nobody else; POST .../messages/{id}/send sends it (202). Drafts need the
//   Mail.ReadWrite permission, which sendMail does not: a 403 at the draft leaves the message
//   waiting with that said, for an administrator to grant it. After a failed update or send
//   the draft is deleted, as far as the service lets it. GraphSaveToSent=0 takes this way for
//   every message, the draft marked to be deleted once sent: sendMail's MIME form always keeps
//   a copy in Sent Items.
// The spool file keeps the message as it came. The failing reply settles every recipient:
// 401 that call once more with a renewed token; 429, 503 and 504 deferred, not before the
// service's Retry-After; 400, 403, 404 and 413 refused for good with the service's code and
// message; no complete reply deferred (after a call that sends, it may have been sent: as with
// SMTP, a message can then arrive twice).

#include <cctype>
#include <cerrno>

#include "common/base64.h"
#include "common/graph_limits.h"
#include "common/settings.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/graph_recipients.h"
#include "delivery/graph_reply.h"
#include "delivery/route.h"
#include "delivery/sender_rewrite.h"
#include "delivery/transport.h"
#include "platform/http_client.h"
#include "platform/stop_flag.h"
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

// What the calls are to carry, or why none is made.
struct Prepared {
  std::string mime;
  GraphRecipients recipients;
  RecipientOutcome refusal{};  // set (kind other than Delivered) when no call is made
  bool ready = false;
};

RecipientOutcome TooLarge() {
  return {Kind::Refused, "",
          "message too large for Microsoft Graph (at most " + std::to_string(kGraphLargestMessage) + " bytes)"};
}

// A draft is needed when sendMail would reach someone who is not pending, or would keep a copy
// in Sent Items that the account does not want (only a draft can be marked not to).
bool NeedsDraft(const Delivery& d, const GraphRecipients& recipients) {
  return !recipients.stranger.empty() || !d.hop.saveToSent;
}

Prepared Prepare(const Delivery& d, const StoredMessage& message) {
  Prepared p;
  if (message.tooLarge || !message.complete) {
    p.refusal = message.tooLarge ? TooLarge() : RecipientOutcome{Kind::Refused, "", "unexpected EOF"};
    return p;
  }
  auto [header, body] = SplitHeader(message.data);
  // A failure notice goes out as it was written.
  const bool notice = EnvelopeAddress(AfterFirstColon(message.mailLine)) == "<>";
  if (!d.sendAs.empty() && !notice) header = RewriteFromHeader(header, d.sendAs);
  p.recipients = RecipientsFor(header, d.recipients);
  // A draft gets its lists set after: its MIME needs no Bcc: of ours.
  p.mime = (NeedsDraft(d, p.recipients) ? "" : p.recipients.addedBcc) + header + body;
  if (p.mime.size() > kGraphLargestMime) {
    p.refusal = TooLarge();
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

// One request of a delivery.
struct GraphCall {
  const char* step;    // what the reply answers: "sendMail", "create", "update", "send", "delete"
  const char* method;  // "POST", "PATCH", "DELETE"
  std::string url;
  std::string contentType;  // "" for none
  std::string body;
  // The call can send the message: without a complete reply it may have gone.
  bool maySend = false;
  // Said after the service's name in a reason: which of the draft's calls it was.
  const char* aside = "";
};

// How one request ended.
struct CallEnd {
  bool stopped = false;  // the relay is stopping: nothing is recorded
  bool succeeded = false;
  HttpResult reply;
  RecipientOutcome failure{};  // what the message becomes when it did not succeed
  bool logged = false;         // the failure's reason goes in the log when it is settled
};

std::string StatusText(const HttpResult& reply, const GraphError& error) {
  const std::string text = error.Text();
  return "HTTP " + std::to_string(reply.status) + (text.empty() ? "" : " " + text);
}

// What a reply other than 2xx makes of the message.
RecipientOutcome FailureOf(const HttpResult& reply, const std::string& service, const GraphCall& call) {
  const std::string text = StatusText(reply, ParseGraphError(reply.body));
  const std::string at = service + call.aside;
  switch (reply.status) {
    case 401: {
      const std::string why = at + " refused the sign-in's token: " + text;
      return {Kind::NotReached, "", why, "", "Error : " + why};
    }
    case 400:
    case 403:
    case 404:
    case 413: {
      const bool size = reply.status == 413 || IsSizeError(ParseGraphError(reply.body));
      return {Kind::Refused, text, (size ? "message too large for " : "refused by ") + at + ": " + text, call.step};
    }
    default:
      break;
  }
  RecipientOutcome deferred{Kind::Deferred, text, at + " asked to try later: " + text, call.step};
  if (reply.status == 429 || reply.status == 503 || reply.status == 504) {
    deferred.retryAfter = RetryAfterOf(reply.Header("retry-after"));
  }
  return deferred;
}

// The request's end judged: a 2xx, or what the message becomes.
CallEnd Judged(CallEnd end, const GraphCall& call, const std::string& service) {
  const HttpResult& reply = end.reply;
  if (reply.error == ECONNREFUSED || reply.error == EHOSTUNREACH || reply.error == ELIBACC) {
    const std::string why = "can't reach " + service + ": " + reply.reason;
    end.failure = {Kind::NotReached, "", why, "", "Error : " + why, Cause::NoConnection};
  } else if (!reply.ok()) {
    // The request may have reached the service: trying again may send it twice, which beats
    // losing it.
    const std::string why = "no complete reply from " + service + call.aside +
                            (call.maySend ? " (the message may have been sent)" : "") + ": " + reply.reason;
    end.failure = {Kind::Deferred, "", why, call.step};
    end.logged = true;
  } else if (reply.status >= 200 && reply.status < 300) {
    end.succeeded = true;
  } else if (reply.status == 403 && std::string(call.step) == "create") {
    // Drafts need Mail.ReadWrite, which an application that only sends may well lack: an
    // administrator can grant it, so the mail waits rather than bounces.
    end.failure = {Kind::Deferred, "",
                   service + " refused to make a draft (" + StatusText(reply, ParseGraphError(reply.body)) +
                       "): the application needs the Mail.ReadWrite permission to send to "
                       "recipients other than the header's",
                   call.step};
    end.logged = true;
  } else {
    end.failure = FailureOf(reply, service, call);
  }
  return end;
}

class GraphTransport final : public Transport {
 public:
  explicit GraphTransport(const TransportContext& context) : c_(context) {}
  Carried Carry(const Delivery& d, OutcomeSink& sink) override;

 private:
  bool Say(const Delivery& d, OutcomeSink& sink, const RecipientOutcome& outcome) const;
  CallEnd Call(const Delivery& d, OutcomeSink& sink, const GraphCall& call);
  Carried SendMail(const Delivery& d, OutcomeSink& sink, const Prepared& prepared);
  Carried SendDraft(const Delivery& d, OutcomeSink& sink, const Prepared& prepared);
  std::string DeleteDraft(const Delivery& d, OutcomeSink& sink, const std::string& draft);
  Carried Settle(const Delivery& d, OutcomeSink& sink, CallEnd end, const std::string& draft);
  std::string Service(const Delivery& d) const { return "Microsoft Graph at " + d.hop.server; }
  std::string MailboxUrl(const Delivery& d) const {
    return d.hop.server + "/users/" + PathSegment(d.hop.security.user);
  }

  const TransportContext c_;
  bool counted_ = false;
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
  const Prepared prepared = Prepare(d, message);
  if (!prepared.ready) {
    (void)Say(d, sink, prepared.refusal);  // a failed write holds the file
    return {};
  }
  if (!d.hop.security.tokens || !d.hop.http) {
    const std::string why = "no sign-in for " + Service(d);
    (void)Say(d, sink, {Kind::NotReached, "", why, "", "Error : " + why});
    return {};
  }
  return NeedsDraft(d, prepared.recipients) ? SendDraft(d, sink, prepared) : SendMail(d, sink, prepared);
}

Carried GraphTransport::SendMail(const Delivery& d, OutcomeSink& sink, const Prepared& prepared) {
  return Settle(
      d, sink,
      Call(d, sink, {"sendMail", "POST", MailboxUrl(d) + "/sendMail", "text/plain", Base64Encode(prepared.mime), true}),
      "");
}

// A draft whose lists are set to the pending recipients alone (and marked not to be kept once
// sent, where the account says so), then sent.
Carried GraphTransport::SendDraft(const Delivery& d, OutcomeSink& sink, const Prepared& prepared) {
  const std::string messages = MailboxUrl(d) + "/messages";
  CallEnd end = Call(
      d, sink, {"create", "POST", messages, "text/plain", Base64Encode(prepared.mime), false, " (making a draft)"});
  if (!end.succeeded) return Settle(d, sink, std::move(end), "");
  const std::string id = DraftIdOf(end.reply.body);
  if (id.empty()) {
    end.succeeded = false;
    end.failure = {Kind::Deferred, "", Service(d) + " made a draft but its reply gave no id", "create"};
    end.logged = true;
    return Settle(d, sink, std::move(end), "");
  }
  const std::string draft = messages + "/" + PathSegment(id);
  end = Call(d, sink,
             {"update", "PATCH", draft, "application/json", RecipientListsJson(prepared.recipients, d.hop.saveToSent), false,
              " (setting the draft's recipients)"});
  if (end.succeeded) end = Call(d, sink, {"send", "POST", draft + "/send", "", "", true, " (sending the draft)"});
  const std::string left = end.succeeded ? "" : draft;
  return Settle(d, sink, std::move(end), left);
}

// Best effort: a draft left behind is clutter in the mailbox, not a fault of the delivery.
std::string GraphTransport::DeleteDraft(const Delivery& d, OutcomeSink& sink, const std::string& draft) {
  const CallEnd end = Call(d, sink, {"delete", "DELETE", draft, "", "", false, " (deleting the draft)"});
  if (end.succeeded) return "the draft was deleted";
  if (end.stopped) return "the draft was left (the relay is stopping)";
  const std::string why = end.failure.reply.empty() ? end.failure.reason : end.failure.reply;
  return "the draft could not be deleted (" + why + ")";
}

Carried GraphTransport::Settle(const Delivery& d, OutcomeSink& sink, CallEnd end, const std::string& draft) {
  if (end.stopped) return Carried{true};
  if (end.succeeded) {
    (void)Say(d, sink, {Kind::Delivered, "", "", "sendMail"});  // a failed write holds the file
    return {};
  }
  RecipientOutcome& failure = end.failure;
  const std::string note = draft.empty() ? "" : "; " + DeleteDraft(d, sink, draft);
  if (!failure.log.empty()) {
    failure.log += note;  // said once, where the recorder says it
  } else if (end.logged || !note.empty()) {
    c_.relay.AppendLog("Error : " + d.spoolName + ": " + failure.reason + note);
  }
  (void)Say(d, sink, failure);  // a failed write holds the file
  return {};
}

CallEnd GraphTransport::Call(const Delivery& d, OutcomeSink& sink, const GraphCall& call) {
  for (int attempt = 0;; ++attempt) {
    OAuthTokens::Token token = d.hop.security.tokens->Get();
    CallEnd end;
    end.stopped = token.kind == OAuthTokens::Token::Kind::Cancelled;
    if (end.stopped) return end;
    if (token.kind != OAuthTokens::Token::Kind::Ready) {
      const std::string log = token.kind == OAuthTokens::Token::Kind::Unavailable ? token.reason : "";
      end.failure = {Kind::NotReached, "", WithoutErrorMark(token.reason), "", log};
      return end;
    }
    if (!counted_) sink.Reached();
    counted_ = true;
    const std::vector<std::string> headers{
        "Authorization: Bearer " + token.accessToken, "Accept: application/json",
        // A bare name keeps the library from adding a type of its own.
        call.contentType.empty() ? "Content-Type:" : "Content-Type: " + call.contentType};
    // A call that can send the message is not abandoned once begun: abandoned after its request
    // went out it might have sent it, and the next start would send it again. It ends within
    // the HTTP client's own limits; a second signal still ends the program at once.
    StopFlag neverStopped;
    if (call.maySend && c_.relay.stop().load()) {
      end.stopped = true;
      return end;
    }
    end.reply = d.hop.http->Request(call.method, call.url, headers, call.body,
                                    call.maySend ? neverStopped : c_.relay.stop());
    end.stopped = end.reply.error == ECANCELED;
    if (end.stopped) return end;
    if (end.reply.ok() && end.reply.status == 401 && attempt == 0 &&
        d.hop.security.tokens->Refused(token.accessToken)) {
      continue;
    }
    return Judged(std::move(end), call, Service(d));
  }
}

}  // namespace

// Declared where the transports are chosen (transport.cpp).
std::unique_ptr<Transport> MakeGraphTransport(const TransportContext& context) {
  return std::make_unique<GraphTransport>(context);
}

}  // namespace vellomar
