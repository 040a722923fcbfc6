// SMTP, the one engine for every delivery to a next relay, an exchanger or the alternate
// server. It replays the stored dialogue line by line over a connection that is either new
// (each of the server's addresses in turn, see AddressRace; greeted with the stored HELO line,
// or with EHLO, STARTTLS and the login when the hop's security asks for them) or a session
// kept open by an earlier message to the same next relay, and reads a whole reply after each
// command. The recipients zone becomes the delivery's recipients, one RCPT each with its
// letter sent as 'R', each settled by its own reply; the reply to the end of the data settles
// those it took, whose letters are on disk before anything more goes out. A connection that is
// not kept ends with the stored QUIT line after the data, and without QUIT after a refusal, as
// the stored dialogue is replayed for one recipient at a time; a session that is kept (to a
// next relay taking several messages per connection, see RelaySessions) is made ready for the
// next message with RSET after a refusal. At most the hop's cap of connections is open at once.

#include <chrono>
#include <optional>

#include "common/server_address.h"
#include "common/settings.h"
#include "common/system_error.h"
#include "common/text.h"
#include "delivery/address_order.h"
#include "delivery/address_race.h"
#include "delivery/delivery_notes.h"
#include "delivery/esmtp_opening.h"
#include "delivery/relay_sessions.h"
#include "delivery/route.h"
#include "delivery/sender_rewrite.h"
#include "delivery/transport.h"
#include "dns/mx_resolver.h"
#include "platform/host_lookup.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

using Kind = RecipientOutcome::Kind;
using Cause = RecipientOutcome::Cause;

constexpr uint16_t kSmtpPort = 25;
// Message data goes out in batches of about this size; the bytes on the wire are the same.
constexpr size_t kDataSendBatch = 64 * 1024;
// How long a delivery waits for one of the capped connections to come free before its
// recipients wait for a later run.
constexpr std::chrono::minutes kPlaceWait{10};
// A QUIT's reply is only a courtesy: the messages are settled already.
constexpr std::chrono::milliseconds kQuitWait{5000};

// How the dialogue on one connection ended.
enum class Ended {
  Usable,   // the transaction is over, the session ready for another MAIL
  Closed,   // the connection is closed
  Stale,    // a kept session turned out closed before anything was answered: another is tried
  Stopped,  // a stop or a flush: nothing more is recorded
};

// One delivery's dialogue over one connection, new or kept.
struct Exchange {
  RelayServices& relay;
  const Delivery& d;
  OutcomeSink& sink;
  const Settings& settings;
  RelaySession& session;
  const bool kept;  // leased open from an earlier message
  bool keepable;    // may carry the next message afterwards
  bool& counted;    // the recipients were counted as tried
  NextRelaySecurity security = d.hop.security;
  HeaderRewrite rewrite = HeaderRewrite(d.sendAs);
  // The server's addresses and how far connecting to them has come; the one connected to.
  std::optional<AddressRace> race{};
  size_t connectedTo = 0;
  // Sent in the clear after a failed STARTTLS handshake: a refusal may only mean that the
  // server wants TLS, which is no reason to give a recipient up.
  bool clearAfterTls = false;
  // Per recipient: no outcome said yet.
  std::vector<bool> open = std::vector<bool>(d.recipients.size(), true);
  std::string unsent{};
  bool answered = false;  // a reply came on this connection
  bool stale = false;
};

const std::string& Server(const Exchange& x) { return x.d.hop.server; }
Connection& Link(Exchange& x) { return *x.session.connection; }

std::vector<size_t> Open(const Exchange& x) {
  std::vector<size_t> open;
  for (size_t i = 0; i < x.open.size(); ++i) {
    if (x.open[i]) open.push_back(i);
  }
  return open;
}

// False when the file takes no more: the transaction ends there.
bool Say(Exchange& x, const std::vector<size_t>& which, const RecipientOutcome& outcome) {
  for (size_t i : which) x.open[i] = false;
  return which.empty() || x.sink.Settled(which, outcome);
}

void Count(Exchange& x) {
  if (!x.counted) x.sink.Reached();
  x.counted = true;
}

Ended Close(Exchange& x) {
  Link(x).Close();
  return Ended::Closed;
}

Ended Stopped(Exchange& x) {
  Link(x).Close();
  return Ended::Stopped;
}

// The recipients still open were not reached: `why` is kept as their last error, `log` ("" when
// said already) logged.
Ended Unreached(Exchange& x, Cause cause, const std::string& why, const std::string& log) {
  Link(x).Close();
  (void)Say(x, Open(x), {Kind::NotReached, "", why, "", log, cause});  // nothing is written for them
  return Ended::Closed;
}

Ended Unreached(Exchange& x, Cause cause, const std::string& why) {
  return Unreached(x, cause, why, "Error : " + why);
}

// A TLS, certificate or login fault is the settings' doing, not the message's: the recipients
// keep their letters and the next run tries again. `logged` when it was said where it arose.
Ended Fault(Exchange& x, const std::string& logLine, bool logged = false) {
  return Unreached(x, Cause::Fault, WithoutErrorMark(logLine), logged ? "" : logLine);
}

Ended NoReply(Exchange& x) {
  if (x.stale) {
    Link(x).Close();
    return Ended::Stale;
  }
  return Unreached(x, Cause::Silent, "no reply from " + Server(x));
}

Status SendPending(Exchange& x) {
  Status sent = Link(x).Send(x.unsent, x.relay.timings.client.reply);
  x.unsent.clear();
  return sent;
}

// A send that failed or ran out of time leaves it unknown what the server got: a later batch
// would reach it after a hole, in a message that still looks whole. The transaction ends
// here, nothing more goes out on this connection, and the recipients keep their letters.
Ended SendFailed(Exchange& x, const Status& sent) {
  if (x.relay.stop().load()) return Stopped(x);  // the stop cut the send short
  x.stale = x.kept && !x.answered;
  if (x.stale || sent.error() == ETIMEDOUT) return NoReply(x);
  return Unreached(x, Cause::Silent, "can't send to " + Server(x) + ": " + SystemErrorText(sent.failure()));
}

// A kept session whose first command meets a closed connection or a 421 is stale: nothing was
// answered on it, and another is tried.
bool Read(Exchange& x, std::chrono::milliseconds wait, std::string& reply) {
  bool got = x.session.replies.Read(Link(x), wait, reply);
  x.stale = x.kept && !x.answered && (!got || reply.rfind("421", 0) == 0);
  x.answered = x.answered || (got && !x.stale);
  return got && !x.stale;
}

// Asked before each command and each batch of data: asked for every line of a large message,
// the queue's lock and a look-up of the name would cost more than the line itself.
bool Interrupted(const Exchange& x) {
  return x.relay.stop().load() || x.relay.queue.FlushedWhileTaken(x.d.spoolName);
}

// `reply` refused `which`: for good (5xx) or for now (4xx).
bool Refuse(Exchange& x, const std::vector<size_t>& which, const std::string& reply, const std::string& sent) {
  const std::string text = ReplyText(reply);
  if (reply[0] == '5' && x.clearAfterTls) {
    return Say(x, which, {Kind::NotReached, text, "refused without TLS: " + text, sent,
                          "Error : " + Server(x) + " refused mail sent without TLS: " + text});
  }
  return Say(x, which, {reply[0] == '5' ? Kind::Refused : Kind::Deferred, text, text, sent});
}

// A transaction that ended without its data: a session that is kept is ready again once RSET
// is answered; any other connection is closed without QUIT, as the stored dialogue is.
Ended EndWithoutData(Exchange& x, const std::string& reply = "") {
  std::string answer;
  if (!x.keepable || reply.rfind("421", 0) == 0) return Close(x);
  x.unsent = "RSET\r\n";
  if (!SendPending(x) || !Read(x, x.relay.timings.client.reply, answer) || answer[0] != '2') return Close(x);
  return Ended::Usable;
}

// The reply to a command the whole transaction hangs on: a refusal settles every recipient
// still open the same way and ends the transaction.
std::optional<Ended> Judge(Exchange& x, const std::string& reply, const std::string& sent) {
  if (reply[0] != '4' && reply[0] != '5') return std::nullopt;
  if (!Refuse(x, Open(x), reply, sent)) return Close(x);
  return EndWithoutData(x, reply);
}

// Neither a refusal nor the reply the command asks for: a 354 or a 1xx to the end of the
// data, a 250 to DATA, a line that is no reply at all. It settles nothing for good: the
// recipients are tried again later, as after a 4xx.
Ended Unexpected(Exchange& x, const std::string& reply, const std::string& sent) {
  const std::string text = ReplyText(reply);
  x.relay.AppendLog("Error : unexpected reply from " + Server(x) + ": " + text);
  (void)Say(x, Open(x), {Kind::Deferred, text, text, sent});  // a failed write holds the file
  return Close(x);
}

// The stored dialogue ended early: the recipients still open are given up with `reason`. A
// file that could not be read or repositioned has not ended: they keep their letters, and the
// worker holds the file.
Ended FileEnded(Exchange& x, const std::string& reason, const std::string& lastLine) {
  if (x.d.file.ReadFailed() || x.d.file.WriteFailed()) {
    return Unreached(x, Cause::Fault, "", "Error : can't read " + x.d.spoolName);
  }
  (void)Say(x, Open(x), {Kind::Refused, "", reason, lastLine});  // a failed write holds the file
  return Close(x);
}

// Past the stored recipients zone; false at the end of the file, `line` then the last read.
bool SkipRecipientsZone(Exchange& x, std::string& line) {
  std::string next;
  do {
    if (!ReadLine(x.d.file, next)) {
      line = next;
      return false;
    }
  } while (IsRecipientLine(next));
  return static_cast<bool>(x.d.file.Seek(x.d.file.Tell() - static_cast<off_t>(next.size())));
}

// The zone's replacement: a RCPT for each recipient, its letter sent as 'R', each settled by
// its own reply. Nothing when one was taken and the transaction goes on.
std::optional<Ended> SendRecipients(Exchange& x) {
  const off_t afterZone = x.d.file.Tell();
  bool taken = false, refused = false;
  for (size_t i = 0; i < x.d.recipients.size(); ++i) {
    if (i > 0 && Interrupted(x)) return Stopped(x);
    const std::string command = "R" + x.d.recipients[i].line.substr(1);
    x.unsent = command;
    if (Status sent = SendPending(x); !sent) return SendFailed(x, sent);
    std::string reply;
    if (!Read(x, x.relay.timings.client.reply, reply)) return NoReply(x);
    if (reply[0] != '4' && reply[0] != '5') {
      taken = true;
      continue;
    }
    refused = true;
    if (!Refuse(x, {i}, reply, command)) return Close(x);
  }
  if (!taken) return EndWithoutData(x);
  // A refusal's letter moved the file; the dialogue goes on after the zone.
  if (refused && !x.d.file.Seek(afterZone)) return FileEnded(x, "unexpected EOF", "");
  return std::nullopt;
}

// The next server took the message: its recipients are delivered, their letters on disk
// before anything more goes out, so that neither a crash nor a lost QUIT reply sends it again.
// A connection that is not kept ends with the stored QUIT line.
Ended Accepted(Exchange& x) {
  std::string quit;
  bool haveQuit = !x.keepable && ReadLine(x.d.file, quit) && StartsWithIgnoreCase(quit, "QUIT");
  bool recorded = Say(x, Open(x), {Kind::Delivered, "", "", std::string(kEndOfDataLine)});
  if (x.keepable) return recorded ? Ended::Usable : Close(x);
  if (haveQuit && !x.relay.stop().load()) {
    x.unsent = quit;
    std::string reply;
    // Whatever the reply, or none: the message is the next server's already.
    if (SendPending(x)) (void)x.session.replies.Read(Link(x), x.relay.timings.client.reply, reply);
  }
  return Close(x);
}

std::string MailLine(Exchange& x, const std::string& line) {
  // A failure notice goes out as it was written, its header included.
  if (EnvelopeAddress(AfterFirstColon(line)) == "<>") x.rewrite = HeaderRewrite("");
  // The parameters the client's MAIL may have had are not kept; the next relay is told what
  // it can use of them from the file itself: its size (an upper bound, as SIZE allows), and
  // that the body may hold 8-bit text, which a client may send without declaring it.
  std::string mail = x.d.sendAs.empty() ? line : RewriteMailLine(line, x.d.sendAs);
  std::string parameters;
  if (x.session.offers8BitMime) parameters += " BODY=8BITMIME";
  auto length = x.d.file.Length();
  if (x.session.offersSize && length) parameters += " SIZE=" + std::to_string(length.value());
  mail.insert(mail.find_last_not_of("\r\n") + 1, parameters);
  return mail;
}

// Where the replay stands: sending commands, each answered; sending the message's data,
// unanswered; or the end-of-data line just sent, whose reply decides the delivery.
enum class Phase { Commands, Data, DataEnded };

// The stored dialogue from the file's position on, line by line.
Ended Replay(Exchange& x) {
  Phase phase = Phase::Commands;
  // Only a piece that starts a line of the file can be the end-of-data line: a long line
  // comes in pieces, and its last piece may be that line's text too.
  bool atLineStart = true;
  std::string line;
  for (;;) {
    if (x.unsent.empty() && Interrupted(x)) return Stopped(x);
    const bool startsLine = atLineStart;
    if (!ReadLine(x.d.file, line)) return FileEnded(x, "unexpected EOF", line);
    atLineStart = line.back() == '\n';
    if (phase == Phase::Commands && IsRecipientLine(line)) {
      if (!SkipRecipientsZone(x, line)) return FileEnded(x, "unexpected EOF (recipients zone)", line);
      if (std::optional<Ended> ended = SendRecipients(x)) return *ended;
      continue;
    }
    const bool inData = phase == Phase::Data;
    if (inData && startsLine && line == kEndOfDataLine) phase = Phase::DataEnded;
    if (phase == Phase::Commands && StartsWithIgnoreCase(line, "MAIL FROM:")) line = MailLine(x, line);
    x.unsent += inData ? x.rewrite.Take(line, startsLine) : line;
    if (phase == Phase::Data && x.unsent.size() < kDataSendBatch) continue;
    if (Status sent = SendPending(x); !sent) return SendFailed(x, sent);
    if (phase == Phase::Data) continue;
    std::string reply;
    auto wait = phase == Phase::DataEnded ? x.relay.timings.client.dataReply : x.relay.timings.client.reply;
    if (!Read(x, wait, reply)) return NoReply(x);
    if (std::optional<Ended> ended = Judge(x, reply, line)) return *ended;
    if (phase == Phase::DataEnded) return reply[0] == '2' ? Accepted(x) : Unexpected(x, reply, line);
    if (StartsWithIgnoreCase(line, "DATA")) {
      if (reply[0] != '3') return Unexpected(x, reply, line);
      phase = Phase::Data;
    } else if (StartsWithIgnoreCase(line, "QUIT")) {
      (void)Say(x, Open(x), {Kind::Delivered, "", "", line});  // a failed write holds the file
      return Close(x);
    }
  }
}

// The hop's server's addresses in the order they are tried: an exchanger's from Vellomar's own
// queries, sorted as the system would sort them; any other server's from the system's
// resolver, in its order; then the families interleaved.
std::vector<SocketAddress> HopAddresses(Exchange& x) {
  RelayServices& relay = x.relay;
  ServerAddress address = ParseServerAddress(Server(x), kSmtpPort);
  std::vector<SocketAddress> found;
  if (x.d.hop.addresses) {
    found = SortForConnecting(x.d.hop.addresses(address.host, address.port), SystemSourceFor);
  } else {
    auto abandon = [&relay] { return relay.StopOrCancelled(); };
    auto looked = LookUpHost(address.host, address.port, AddressFamilyOf(x.settings.IPFamily), abandon);
    if (looked) found = std::move(looked.value());
  }
  found = InterleaveFamilies(found);
  if (found.size() > MxResolver::kMaxAddresses) found.resize(MxResolver::kMaxAddresses);
  return found;
}

enum class Reached { Connected, NotResolved, Refused };

Reached Connect(Exchange& x) {
  if (!x.race) {
    std::vector<SocketAddress> addresses = HopAddresses(x);
    if (addresses.empty()) return Reached::NotResolved;
    const ClientTimeouts& limits = x.relay.timings.client;
    RelayServices& relay = x.relay;
    x.race.emplace(std::move(addresses), AddressRace::Timing{limits.connect, limits.nextAddress},
                   [&relay] { return relay.StopOrCancelled(); });
  }
  auto winner = x.race->Connect();
  if (!winner) return Reached::Refused;
  Link(x).Open(std::move(winner->socket));
  x.connectedTo = winner->index;
  return Reached::Connected;
}

// No address of the server connected; with more than one, each says why.
Ended CannotConnect(Exchange& x) {
  std::string why = "can't connect to " + Server(x);
  if (x.race && x.race->addresses().size() > 1) why += " (" + x.race->Failures() + ")";
  return Unreached(x, Cause::NoConnection, why);
}

// The address used is logged whenever there was a choice, or it is an IPv6 one; a server with
// one IPv4 address logs as it always did.
void LogConnected(Exchange& x) {
  const auto& addresses = x.race->addresses();
  if (addresses.size() == 1 && addresses.front().family() == AF_INET) return;
  x.relay.AppendLog("Connected to " + Server(x) + " " + BracketedAddress(addresses[x.connectedTo]));
}

// Connects and reads the greeting, which is not examined. A server address that sends no
// greeting, or a 4xx one, gives way to the next address while one is left; the last one's
// greeting is taken as it comes, and only its absence ends the attempt.
std::optional<Ended> ConnectAndGreet(Exchange& x) {
  for (;;) {
    switch (Connect(x)) {
      case Reached::NotResolved:
        return Unreached(x, Cause::NoAddress, "can't find IP for " + Server(x));
      case Reached::Refused:
        return CannotConnect(x);
      case Reached::Connected:
        break;
    }
    Count(x);
    LogConnected(x);
    if (x.security.tls == NextRelaySecurity::Tls::Implicit) {
      TlsOutcome outcome = Link(x).StartTls(x.security.check, x.relay.timings.client.reply);
      if (!outcome.ok()) return Fault(x, TlsFaultLine(outcome, Server(x)));
    }
    std::string greeting;
    bool answered = x.session.replies.Read(Link(x), x.relay.timings.client.reply, greeting);
    bool refused = !answered || greeting[0] == '4';
    if (refused && x.race->OthersLeft(x.connectedTo)) {
      x.race->Fail(x.connectedTo, answered ? ReplyText(greeting) : "no reply");
      Link(x).Close();
      x.session.replies.Clear();
      continue;
    }
    if (!answered) return NoReply(x);
    return std::nullopt;
  }
}

// Opportunistic TLS that fails must not strand the message, as it would with a server whose
// TLS is broken or too old: a new connection carries the stored dialogue, as if STARTTLS had
// not been offered. It is not kept: a kept session is what its hop's security asks for.
Ended ReplayInTheClear(Exchange& x, const std::string& why) {
  x.relay.AppendLog("Warning : " + WithoutErrorMark(why) + "; sending without TLS");
  Link(x).Close();
  x.session.replies.Clear();
  x.unsent.clear();
  x.security.tls = NextRelaySecurity::Tls::None;
  x.clearAfterTls = true;
  x.keepable = false;
  x.session.offersSize = x.session.offers8BitMime = false;
  x.rewrite = HeaderRewrite(x.d.sendAs);
  if (!x.d.file.Rewind()) return FileEnded(x, "unexpected EOF", "");
  if (Connect(x) != Reached::Connected) return CannotConnect(x);
  std::string greeting;
  if (!Read(x, x.relay.timings.client.reply, greeting)) return NoReply(x);
  return Replay(x);
}

// EHLO, STARTTLS and the login in place of the stored HELO line, then the replay from the
// MAIL line on.
Ended OpenAndReplay(Exchange& x) {
  std::string heloLine;
  if (!ReadLine(x.d.file, heloLine)) return FileEnded(x, "unexpected EOF", heloLine);
  OpeningResult opened = OpenSession(Link(x), x.session.replies, HeloDomain(heloLine), x.security, Server(x),
                                     x.relay.timings.client.reply, x.relay.stop());
  switch (opened.kind) {
    case OpeningResult::Kind::Ready:
      x.session.offersSize = opened.offersSize;
      x.session.offers8BitMime = opened.offers8BitMime;
      return Replay(x);
    case OpeningResult::Kind::UseHelo:
      if (!x.d.file.Rewind()) return FileEnded(x, "unexpected EOF", heloLine);
      return Replay(x);
    case OpeningResult::Kind::Fault:
      if (opened.loginRefused) NoteLoginRefused(x.relay, x.d.spoolName, Server(x), opened.text);
      return Fault(x, opened.text);
    case OpeningResult::Kind::Waiting:
      return Fault(x, opened.text, true);
    case OpeningResult::Kind::ClearOnly:
      return ReplayInTheClear(x, opened.text);
    case OpeningResult::Kind::Reply:
      x.keepable = false;  // refused before its first MAIL: nothing worth keeping
      if (std::optional<Ended> ended = Judge(x, opened.text, opened.sent)) return *ended;
      break;
    case OpeningResult::Kind::NoReply:
      break;
  }
  return NoReply(x);
}

// The dialogue from its start: a kept session goes on from the MAIL line; a new connection is
// made, greeted and opened as the hop's security asks.
Ended Run(Exchange& x) {
  if (!x.d.file.Rewind()) return Unreached(x, Cause::Fault, "", "Error : can't read " + x.d.spoolName);
  if (!x.kept) {
    if (std::optional<Ended> ended = ConnectAndGreet(x)) return *ended;
    return x.security.SpeaksEsmtp() ? OpenAndReplay(x) : Replay(x);
  }
  Count(x);
  std::string helo;
  if (!ReadLine(x.d.file, helo)) return FileEnded(x, "unexpected EOF", helo);
  return Replay(x);
}

void Quit(RelaySession& session) {
  std::string reply;
  // Whatever the reply, or none: every message on the session is settled already.
  if (session.connection->Send("QUIT\r\n", kQuitWait)) (void)session.replies.Read(*session.connection, kQuitWait, reply);
}

// Ends a kept session: QUIT (unless stopping), closed, its place given back.
void CloseSession(RelayServices& relay, RelaySessions& sessions, const std::string& key,
                  std::unique_ptr<RelaySession> session) {
  if (!relay.stop().load()) Quit(*session);
  session->connection->Close();
  sessions.Release(key);
}

class SmtpTransport final : public Transport {
 public:
  explicit SmtpTransport(const TransportContext& context) : c_(context) {}
  Carried Carry(const Delivery& d, OutcomeSink& sink) override;

 private:
  std::function<void()> LetGo(const std::string& key, uint64_t ticket) const;

  const TransportContext c_;
};

// A session kept for the next message is closed when no other delivery took it up within a
// moment; the file is settled by then, so the dispatcher already counts this worker gone.
std::function<void()> SmtpTransport::LetGo(const std::string& key, uint64_t ticket) const {
  return [&relay = c_.relay, sessions = c_.sessions, key, ticket] {
    auto abandon = [&relay] { return relay.StopOrCancelled(); };
    auto session = sessions->Reclaim(key, ticket, relay.timings.sessionLinger, abandon);
    if (session) CloseSession(relay, *sessions, key, std::move(session));
  };
}

Carried SmtpTransport::Carry(const Delivery& d, OutcomeSink& sink) {
  RelayServices& relay = c_.relay;
  const int perConnection = c_.sessions != nullptr ? MessagesPerConnectionFor(c_.settings, d.hop) : 1;
  const int cap = c_.sessions != nullptr ? ConnectionsPerRelayFor(c_.settings, d.hop) : 0;
  const bool placed = cap > 0 || perConnection > 1;  // counted in RelaySessions
  const std::string key = placed ? SessionKey(c_.account, d.hop) : "";
  bool reached = false;
  // Each pass either ends the delivery or used up a kept session that had been closed.
  for (;;) {
    RelaySessions::Lease lease{RelaySessions::Lease::Kind::New, nullptr};
    if (placed) lease = c_.sessions->Acquire(key, cap, kPlaceWait, [&relay] { return relay.StopOrCancelled(); });
    if (lease.kind == RelaySessions::Lease::Kind::Abandoned) return Carried{};  // they wait for a later run
    const bool kept = lease.kind == RelaySessions::Lease::Kind::Kept && perConnection > 1;
    // A session kept by a delivery of several recipients at once is not for a transaction of one.
    if (lease.session && !kept) lease.session->connection->Close();
    auto session = kept ? std::move(lease.session) : std::make_unique<RelaySession>();
    Exchange x{relay, d, sink, c_.settings, *session, kept, perConnection > 1, reached};
    Ended ended = Run(x);
    if (ended == Ended::Usable && ++session->messages < perConnection && !relay.stop().load()) {
      return Carried{false, LetGo(key, c_.sessions->Keep(key, std::move(session)))};
    }
    if (ended == Ended::Usable && !relay.stop().load()) Quit(*session);
    session->connection->Close();
    if (placed) c_.sessions->Release(key);
    if (ended != Ended::Stale) return Carried{ended == Ended::Stopped};
  }
}

}  // namespace

// Declared where the transports are chosen (transport.cpp).
std::unique_ptr<Transport> MakeSmtpTransport(const TransportContext& context) {
  return std::make_unique<SmtpTransport>(context);
}

}  // namespace vellomar
