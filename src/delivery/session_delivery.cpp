#include "delivery/session_delivery.h"

#include <chrono>
#include <string_view>

#include "common/settings.h"
#include "common/system_error.h"
#include "common/text.h"
#include "delivery/address_race.h"
#include "delivery/delivery_notes.h"
#include "delivery/esmtp_opening.h"
#include "delivery/failure_notice.h"
#include "delivery/relay_sessions.h"
#include "delivery/route.h"
#include "delivery/sender_rewrite.h"
#include "delivery/smtp_client.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

// How long a worker waits for one of the capped connections to come free before it leaves its
// recipients for a later run.
constexpr std::chrono::minutes kLeaseWait{10};
// A QUIT's reply is only a courtesy: the messages are settled already.
constexpr std::chrono::milliseconds kQuitWait{5000};

// How a step left the session.
enum class Ended {
  Usable,  // ready for the next MAIL
  Broken,  // lost or refused for good; what was answered is recorded
  Stale,   // a kept session found closed before anything was answered: a new one is tried
  Single,  // handed back for the dialogue of one recipient at a time
};

struct Batch {
  RelayServices& relay;
  SpoolFile& file;
  const std::string& spoolName;
  const SessionPlan& plan;
  const std::vector<PendingRecipient>& recipients;
  RelaySession& session;
  bool reused;
  // Per recipient: its letter was written in this transaction.
  std::vector<bool> settled = std::vector<bool>(recipients.size(), false);
  std::vector<size_t> accepted{};
  bool nullSender = false;
};

const std::string& Server(const Batch& b) { return b.plan.hop.server; }

Status Send(Batch& b, std::string_view data) {
  return b.session.connection->Send(data, b.relay.timings.client.reply);
}

bool Read(Batch& b, std::string& reply, std::chrono::milliseconds wait) {
  return b.session.replies.Read(*b.session.connection, wait, reply);
}

// One command and its whole reply; false when the command could not go out or no reply came.
bool Command(Batch& b, std::string_view line, std::string& reply) {
  return Send(b, line) && Read(b, reply, b.relay.timings.client.reply);
}

// Every recipient not settled yet keeps `why` as its last error; its letter stays.
Ended Unsettled(Batch& b, const std::string& why, bool log = true) {
  if (log) b.relay.AppendLog("Error : " + why);
  for (size_t i = 0; i < b.recipients.size(); ++i) {
    if (!b.settled[i]) NoteDeliveryError(b.relay, b.spoolName, b.recipients[i].line, why);
  }
  return Ended::Broken;
}

Ended Lost(Batch& b) { return Unsettled(b, "no reply from " + Server(b)); }

// A refusal of one recipient, recorded as its own transaction's refusal would be: a 5xx gives
// it up (once its sender's notice is queued), a 4xx advances its letter, and anything else
// that was not asked for counts as a 4xx. False when its letter could not be written.
bool Refused(Batch& b, size_t i, const std::string& reply, const std::string& sent) {
  const Settings& settings = b.plan.settings;
  const PendingRecipient& r = b.recipients[i];
  const std::string text = ReplyText(reply);
  const std::string address = RecipientAddress(r.line);
  b.settled[i] = true;
  if (reply[0] == '5') {
    if (settings.Logabo) b.relay.AppendLog("Sending to " + address + " aborted (5xx STMP error)");
    if (!SendFailureNotice(b.relay, b.spoolName, text, r.line)) return true;  // pending, tried again
    (void)RecordRecipientState(b.relay, b.file, b.spoolName, r.position, 'X');  // failure: WriteFailed
    return !b.file.WriteFailed();
  }
  bool fourXx = reply[0] == '4';
  if (fourXx && settings.Logdel) b.relay.AppendLog("Sending to " + address + " delayed (4xx STMP error)");
  if (!fourXx) b.relay.AppendLog("Error : unexpected reply from " + Server(b) + ": " + text);
  (void)RecordDeferral(b.relay, b.file, b.spoolName, r.line, r.position, PendingDeferral{text, sent, fourXx});
  return !b.file.WriteFailed();
}

// The same reply settles each of `which`.
bool RefuseAll(Batch& b, const std::vector<size_t>& which, const std::string& reply, const std::string& sent) {
  for (size_t i : which) {
    if (!Refused(b, i, reply, sent)) return false;
  }
  return true;
}

std::vector<size_t> Everyone(const Batch& b) {
  std::vector<size_t> all;
  for (size_t i = 0; i < b.recipients.size(); ++i) all.push_back(i);
  return all;
}

// A transaction that ended without data: the session is ready again once RSET is answered.
Ended Reset(Batch& b) {
  std::string reply;
  return Command(b, "RSET\r\n", reply) && reply[0] == '2' ? Ended::Usable : Ended::Broken;
}

// A refusal that settles `which` and ends the transaction; a 421 also ends the session.
Ended RefusedTransaction(Batch& b, const std::vector<size_t>& which, const std::string& reply,
                         const std::string& sent) {
  if (!RefuseAll(b, which, reply, sent)) return Ended::Broken;
  if (reply.rfind("421", 0) == 0 || (reply[0] != '4' && reply[0] != '5')) return Ended::Broken;
  return Reset(b);
}

std::string MailLine(Batch& b, const std::string& line) {
  return OutgoingMailLine(line, b.plan.settings.RewriteSender, b.session.offers8BitMime, b.session.offersSize, b.file);
}

// The stored data, from after the DATA line to its end line included, in large batches; the
// header with the account's sender when it sends as one.
Status SendData(Batch& b) {
  // A failure notice goes out as it was written, its header included.
  HeaderRewrite rewrite(b.nullSender ? "" : b.plan.settings.RewriteSender);
  std::string unsent;
  std::string line;
  bool atLineStart = true;
  for (;;) {
    bool startsLine = atLineStart;
    if (!ReadLine(b.file, line)) return FailWith(b.file.ReadFailed() ? EIO : ENODATA);
    atLineStart = line.back() == '\n';
    unsent += rewrite.Take(line, startsLine);
    bool ended = startsLine && line == kEndOfDataLine;
    if (!ended && unsent.size() < kDataSendBatch) continue;
    if (Status sent = Send(b, unsent); !sent) return sent;
    unsent.clear();
    if (ended) return Ok();
    if (b.relay.stop().load()) return FailWith(ECANCELED);
  }
}

Ended DataFailed(Batch& b, const Status& sent) {
  if (b.relay.stop().load()) return Ended::Broken;  // the stop cut it short: nothing is marked
  if (sent.error() == ETIMEDOUT) return Lost(b);
  if (sent.error() == ENODATA || sent.error() == EIO) return Unsettled(b, "can't read " + b.spoolName);
  return Unsettled(b, "can't send to " + Server(b) + ": " + SystemErrorText(sent.failure()));
}

// The reply to the end of the data settles every recipient that RCPT took.
Ended DataEnded(Batch& b, const std::string& reply) {
  if (reply[0] != '2') return RefusedTransaction(b, b.accepted, reply, std::string(kEndOfDataLine));
  for (size_t i : b.accepted) {
    ++b.relay.counters.sentOk;
    b.settled[i] = true;
    (void)RecordRecipientState(b.relay, b.file, b.spoolName, b.recipients[i].position, 'X');
    if (b.file.WriteFailed()) return Ended::Broken;
  }
  if (!b.accepted.empty()) NoteDelivered(b.relay, b.spoolName);
  return Ended::Usable;
}

// RCPT for each recipient, in the file's order; true when the session still answers.
bool SendRecipients(Batch& b) {
  for (size_t i = 0; i < b.recipients.size(); ++i) {
    const std::string& line = b.recipients[i].line;
    if (b.plan.settings.Logrec) b.relay.AppendLog("Sending mail to " + RecipientAddress(line));
    ++b.relay.counters.sentAll;
    std::string command = "R" + line.substr(1);
    std::string reply;
    if (!Command(b, command, reply)) return false;
    if (reply[0] == '2') {
      b.accepted.push_back(i);
    } else if (!Refused(b, i, reply, command)) {
      return false;
    }
  }
  return true;
}

// The DATA line after the recipients zone, the file left after it.
bool FindDataLine(Batch& b, std::string& line) {
  do {
    if (!ReadLine(b.file, line)) return false;
  } while (IsRecipientLine(line));
  return StartsWithIgnoreCase(line, "DATA");
}

Ended Transaction(Batch& b) {
  std::string helo, mail, reply;
  if (!b.file.Rewind() || !ReadLine(b.file, helo) || !ReadLine(b.file, mail) ||
      !StartsWithIgnoreCase(mail, "MAIL FROM:")) {
    return Unsettled(b, "can't read " + b.spoolName);
  }
  b.nullSender = EnvelopeAddress(AfterFirstColon(mail)) == "<>";
  if (!Command(b, MailLine(b, mail), reply)) return b.reused ? Ended::Stale : Lost(b);
  if (b.reused && reply.rfind("421", 0) == 0) return Ended::Stale;
  if (reply[0] != '2') return RefusedTransaction(b, Everyone(b), reply, mail);
  if (!SendRecipients(b)) return b.file.WriteFailed() ? Ended::Broken : Lost(b);
  if (b.accepted.empty()) return Reset(b);
  std::string data;
  if (!FindDataLine(b, data)) return Unsettled(b, "can't read " + b.spoolName);
  if (!Command(b, data, reply)) return Lost(b);
  if (reply[0] != '3') return RefusedTransaction(b, b.accepted, reply, data);
  if (Status sent = SendData(b); !sent) return DataFailed(b, sent);
  if (!Read(b, reply, b.relay.timings.client.dataReply)) return Lost(b);
  return DataEnded(b, reply);
}

// The stored HELO line in place of EHLO: a next relay that knows no EHLO, or a plain one.
Ended Helo(Batch& b) {
  std::string helo, reply;
  if (!b.file.Rewind() || !ReadLine(b.file, helo)) return Unsettled(b, "can't read " + b.spoolName);
  if (!Command(b, helo, reply)) return Lost(b);
  return reply[0] == '2' ? Ended::Usable : RefusedTransaction(b, Everyone(b), reply, helo);
}

Ended Opened(Batch& b, const OpeningResult& opened) {
  switch (opened.kind) {
    case OpeningResult::Kind::Ready:
      b.session.offersSize = opened.offersSize;
      b.session.offers8BitMime = opened.offers8BitMime;
      return Ended::Usable;
    case OpeningResult::Kind::UseHelo:
      return Helo(b);
    case OpeningResult::Kind::Fault:
      b.relay.AppendLog(opened.text);
      if (opened.loginRefused) NoteLoginRefused(b.relay, b.spoolName, Server(b), opened.text);
      return Unsettled(b, WithoutErrorMark(opened.text), false);
    case OpeningResult::Kind::Waiting:
      return Unsettled(b, WithoutErrorMark(opened.text), false);
    case OpeningResult::Kind::Reply:
      (void)RefuseAll(b, Everyone(b), opened.text, opened.sent);  // a failed write holds the file
      return Ended::Broken;
    case OpeningResult::Kind::ClearOnly:
      return Ended::Single;
    case OpeningResult::Kind::NoReply:
      break;
  }
  return Lost(b);
}

// Connects to the next relay, reads its greeting and opens the session as the hop asks.
Ended Open(Batch& b) {
  RelayServices& relay = b.relay;
  std::vector<SocketAddress> addresses = HopAddresses(relay, b.plan.settings, b.plan.hop);
  if (addresses.empty()) return Unsettled(b, "can't find IP for " + Server(b));
  const ClientTimeouts& limits = relay.timings.client;
  AddressRace race(std::move(addresses), AddressRace::Timing{limits.connect, limits.nextAddress},
                   [&relay] { return relay.StopOrCancelled(); });
  auto winner = race.Connect();
  if (!winner) {
    std::string why = "can't connect to " + Server(b);
    if (race.addresses().size() > 1) why += " (" + race.Failures() + ")";
    return Unsettled(b, why);
  }
  b.session.connection->Open(std::move(winner->socket));
  const NextRelaySecurity& security = b.plan.hop.security;
  if (security.tls == NextRelaySecurity::Tls::Implicit) {
    TlsOutcome outcome = b.session.connection->StartTls(security.check, limits.reply);
    if (!outcome.ok()) {
      relay.AppendLog(TlsFaultLine(outcome, Server(b)));
      return Unsettled(b, WithoutErrorMark(TlsFaultLine(outcome, Server(b))), false);
    }
  }
  std::string greeting;
  if (!Read(b, greeting, limits.reply)) return Lost(b);
  if (greeting[0] != '2') return Unsettled(b, Server(b) + ": " + ReplyText(greeting));
  if (!security.SpeaksEsmtp()) return Helo(b);
  std::string helo;
  if (!b.file.Rewind() || !ReadLine(b.file, helo)) return Unsettled(b, "can't read " + b.spoolName);
  return Opened(b, OpenSession(*b.session.connection, b.session.replies, HeloDomain(helo), security, Server(b),
                               limits.reply, relay.stop()));
}

void Quit(RelaySession& session) {
  std::string reply;
  // Whatever the reply, or none: every message on the session is settled already.
  if (session.connection->Send("QUIT\r\n", kQuitWait)) (void)session.replies.Read(*session.connection, kQuitWait, reply);
}

}  // namespace

SessionOutcome DeliverOverSession(RelayServices& relay, SpoolFile& file, const std::string& spoolName,
                                  const SessionPlan& plan, const std::vector<PendingRecipient>& recipients) {
  SessionOutcome outcome;
  auto abandon = [&relay] { return relay.StopOrCancelled(); };
  // Each pass either ends the delivery or used up a kept session that had been closed.
  for (;;) {
    // A Flush while the message waited for a connection: it is deleted, not sent.
    if (relay.queue.FlushedWhileTaken(spoolName)) return outcome;
    RelaySessions::Lease lease = plan.sessions.Acquire(plan.key, plan.connectionsAtOnce, kLeaseWait, abandon);
    if (lease.kind == RelaySessions::Lease::Kind::Abandoned) return outcome;
    bool reused = lease.kind == RelaySessions::Lease::Kind::Kept;
    std::unique_ptr<RelaySession> session = reused ? std::move(lease.session) : std::make_unique<RelaySession>();
    Batch b{relay, file, spoolName, plan, recipients, *session, reused};
    Ended ended = reused ? Ended::Usable : Open(b);
    if (ended == Ended::Usable) {
      ++session->messages;
      ended = Transaction(b);
    }
    if (ended == Ended::Usable && session->messages < plan.messagesPerConnection && !relay.stop().load()) {
      outcome.kept = plan.sessions.Keep(plan.key, std::move(session));
      return outcome;
    }
    if (ended == Ended::Usable && !relay.stop().load()) Quit(*session);
    session->connection->Close();
    plan.sessions.Release(plan.key);
    outcome.useSingle = ended == Ended::Single;
    if (ended != Ended::Stale) return outcome;
  }
}

void CloseSession(RelayServices& relay, RelaySessions& sessions, const std::string& key,
                  std::unique_ptr<RelaySession> session) {
  if (!relay.stop().load()) Quit(*session);
  session->connection->Close();
  sessions.Release(key);
}

}  // namespace vellomar
