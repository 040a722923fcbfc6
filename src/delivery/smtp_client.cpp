#include "delivery/smtp_client.h"

#include <chrono>
#include <optional>

#include "common/server_address.h"
#include "common/settings.h"
#include "common/system_error.h"
#include "common/text.h"
#include "spool/relay_services.h"
#include "delivery/address_order.h"
#include "delivery/address_race.h"
#include "delivery/delivery_notes.h"
#include "delivery/esmtp_opening.h"
#include "delivery/failure_notice.h"
#include "delivery/next_relay_security.h"
#include "delivery/relay_sessions.h"
#include "delivery/reply_reader.h"
#include "delivery/route.h"
#include "delivery/sender_rewrite.h"
#include "dns/mx_resolver.h"
#include "platform/connection.h"
#include "platform/host_lookup.h"
#include "platform/socket.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/spool_format.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr uint16_t kSmtpPort = 25;

struct Transaction {
  RelayServices& relay;
  const Settings& settings;
  SpoolFile& file;
  const std::string& spoolName;
  const Hop& hop;
  const std::string& server;
  const std::string& recipientLine;
  off_t position;
  // What a later hop of the route takes from this one.
  const HopsAfter& after;
  std::string address;
  NextRelaySecurity security;
  Connection connection{};
  ReplyReader replies{};
  std::string unsent{};
  // The server's addresses and how far connecting to them has come; the index of the one
  // connected to.
  std::optional<AddressRace> race{};
  size_t connectedTo = 0;
  // Sent in the clear after a failed STARTTLS handshake: a refusal may only mean that the
  // server wants TLS, which is no reason to give the recipient up.
  bool clearAfterTls = false;
  // What the EHLO reply offered of the MAIL parameters; nothing after a HELO, where no
  // parameter may go.
  bool offersSize = false;
  bool offers8BitMime = false;
  // The header on its way out, with the account's sender when it sends as one.
  HeaderRewrite rewrite{settings.RewriteSender};
  // The attempt ended without settling anything, for the next hop to take.
  bool passedOn = false;
  std::string passedWhy{};
  bool toAlternate = false;
  std::optional<PendingDeferral> deferral{};
  // The server could not be reached or fell silent; the letter is untouched.
  bool unreached = false;
};

// Nothing is recorded here: the recipient goes to the route's next hop.
bool PassToNextHop(Transaction& t, const std::string& why) {
  t.connection.Close();
  t.passedOn = true;
  t.passedWhy = why;
  return false;
}

// Logged and noted where it happened; a temporary refusal by an earlier exchanger may still
// be recorded by the route.
bool Unreached(Transaction& t, const std::string& why) {
  t.relay.AppendLog("Error : " + why);
  NoteDeliveryError(t.relay, t.spoolName, t.recipientLine, why);
  t.connection.Close();
  t.unreached = true;
  return false;
}

// A server that falls silent is as good as one that cannot be reached: the next exchanger
// may answer.
bool NoReply(Transaction& t) {
  if (t.after.exchanger) return PassToNextHop(t, "no reply from " + t.server);
  return Unreached(t, "no reply from " + t.server);
}

Status SendPending(Transaction& t) {
  Status sent = t.connection.Send(t.unsent, t.relay.timings.client.reply);
  t.unsent.clear();
  return sent;
}

// A send that failed or ran out of time leaves it unknown what the server got: a later batch
// would reach it after a hole, in a message that still looks whole. The transaction ends
// here, nothing more goes out on this connection, and the recipient keeps its letter.
bool SendFailed(Transaction& t, const Status& sent) {
  t.connection.Close();
  if (t.relay.stop().load()) return true;  // the stop cut the send short: nothing is marked
  if (sent.error() == ETIMEDOUT) return NoReply(t);
  std::string why = "can't send to " + t.server + ": " + SystemErrorText(sent.failure());
  if (t.after.exchanger) return PassToNextHop(t, why);
  return Unreached(t, why);
}

// A TLS, certificate or login fault is the settings' doing, not the message's: the
// recipient keeps its letter and the next run tries again.
bool ConfigurationFault(Transaction& t, const std::string& logLine) {
  t.relay.AppendLog(logLine);
  NoteDeliveryError(t.relay, t.spoolName, t.recipientLine, WithoutErrorMark(logLine));
  t.connection.Close();
  return false;
}

// Like a configuration fault, for a cause logged once already where it arose.
bool WaitingFor(Transaction& t, const std::string& logLine) {
  NoteDeliveryError(t.relay, t.spoolName, t.recipientLine, WithoutErrorMark(logLine));
  t.connection.Close();
  return false;
}

bool Finish(Transaction& t, const std::string& lastLine) {
  if (lastLine.size() > 3 && StartsWithIgnoreCase(lastLine, "QUIT")) ++t.relay.counters.sentOk;
  t.connection.Close();
  return RecordRecipientState(t.relay, t.file, t.spoolName, t.position, 'X');
}

// The recipient is finished only once its sender's notice is safely queued; otherwise it
// keeps its letter and the next run tries again.
bool GiveUp(Transaction& t, const std::string& reason, const std::string& lastLine) {
  if (!SendFailureNotice(t.relay, t.spoolName, reason, t.recipientLine)) {
    t.connection.Close();
    return false;
  }
  return Finish(t, lastLine);
}

enum class Verdict { GoOn, Done };

// A temporary failure: the letter advances, and the sixth gives the recipient up. With
// another exchanger after this one, that one is tried first, and the route records this
// failure only if no later hop settles the recipient.
bool TemporaryFailure(Transaction& t, const PendingDeferral& deferral) {
  if (t.after.exchanger) {
    t.deferral = deferral;
    return PassToNextHop(t, t.server + ": " + deferral.reason);
  }
  if (deferral.fourXx && t.settings.Logdel) {
    t.relay.AppendLog("Sending to " + t.address + " delayed (4xx STMP error)");
  }
  t.connection.Close();
  return RecordDeferral(t.relay, t.file, t.spoolName, t.recipientLine, t.position, deferral);
}

// Acts on the reply to `sent` as the reply table says; `result` is set when it is Done.
Verdict Judge(Transaction& t, const std::string& reply, const std::string& sent, bool& result) {
  const std::string text = ReplyText(reply);
  if ((reply.rfind("550", 0) == 0 || reply.rfind("554", 0) == 0) && t.after.alternate) {
    t.toAlternate = true;
    result = PassToNextHop(t, t.server + ": " + text);
    return Verdict::Done;
  }
  if (reply[0] == '5' && t.clearAfterTls) {
    t.relay.AppendLog("Error : " + t.server + " refused mail sent without TLS: " + text);
    NoteDeliveryError(t.relay, t.spoolName, t.recipientLine, "refused without TLS: " + text);
    t.connection.Close();
    result = false;
    return Verdict::Done;
  }
  if (reply[0] == '5') {
    if (t.settings.Logabo) t.relay.AppendLog("Sending to " + t.address + " aborted (5xx STMP error)");
    result = GiveUp(t, text, sent);
    return Verdict::Done;
  }
  if (reply[0] == '4') {
    result = TemporaryFailure(t, PendingDeferral{text, sent, true});
    return Verdict::Done;
  }
  return Verdict::GoOn;
}

// Neither a refusal nor the reply the command asks for: a 354 or a 1xx to the end of the
// data, a 250 to DATA, a line that is no reply at all. It settles nothing: the recipient is
// tried again later, as after a 4xx.
bool Unexpected(Transaction& t, const std::string& reply, const std::string& sent) {
  t.relay.AppendLog("Error : unexpected reply from " + t.server + ": " + ReplyText(reply));
  return TemporaryFailure(t, PendingDeferral{ReplyText(reply), sent, false});
}

// The line to send for a recipient line met in the replay: the whole recipients zone
// becomes this one recipient, its state letter sent as 'R'. False at the end of the file,
// with the line read there.
bool ReplaceRecipientsZone(Transaction& t, std::string& line) {
  std::string next;
  do {
    if (!ReadLine(t.file, next)) {
      line = next;
      return false;
    }
  } while (IsRecipientLine(next));
  if (!t.file.Seek(t.file.Tell() - static_cast<off_t>(next.size()))) return false;
  line = "R" + t.recipientLine.substr(1);
  return true;
}

// The replay found no more lines. A file that could not be read or repositioned has not
// ended: the recipient keeps its letter and the worker holds the file.
bool FileEnded(Transaction& t, const std::string& reason, const std::string& lastLine) {
  if (!t.file.ReadFailed() && !t.file.WriteFailed()) return GiveUp(t, reason, lastLine);
  t.relay.AppendLog("Error : can't read " + t.spoolName);
  t.connection.Close();
  return false;
}

// The next server took the message: the recipient is delivered, and its 'X' is on disk
// before QUIT goes out, so that neither a crash nor a lost QUIT reply sends it again.
bool Accepted(Transaction& t) {
  ++t.relay.counters.sentOk;
  std::string quit;
  bool haveQuit = ReadLine(t.file, quit) && StartsWithIgnoreCase(quit, "QUIT");
  bool nextPending = RecordRecipientState(t.relay, t.file, t.spoolName, t.position, 'X');
  NoteDelivered(t.relay, t.spoolName);
  if (haveQuit && !t.relay.stop().load()) {
    t.unsent = quit;
    std::string reply;
    // Whatever the reply, or none: the message is the next server's already.
    if (SendPending(t)) (void)t.replies.Read(t.connection, t.relay.timings.client.reply, reply);
  }
  t.connection.Close();
  return nextPending;
}

// Where the replay stands: sending commands, each answered; sending the message's data,
// unanswered; or the end-of-data line just sent, whose reply decides the delivery.
enum class Phase { Commands, Data, DataEnded };

std::string MailLine(Transaction& t, const std::string& line) {
  // A failure notice goes out as it was written, its header included.
  if (EnvelopeAddress(AfterFirstColon(line)) == "<>") t.rewrite = HeaderRewrite("");
  return OutgoingMailLine(line, t.settings.RewriteSender, t.offers8BitMime, t.offersSize, t.file);
}

bool Replay(Transaction& t) {
  Phase phase = Phase::Commands;
  // Only a piece that starts a line of the file can be the end-of-data line: a long line
  // comes in pieces, and its last piece may be that line's text too.
  bool atLineStart = true;
  std::string line;
  for (;;) {
    // Before each command and each batch of data: asked for every line of a large message,
    // the queue's lock and a look-up of the name would cost more than the line itself.
    const bool betweenSends = t.unsent.empty();
    if (betweenSends && (t.relay.stop().load() || t.relay.queue.FlushedWhileTaken(t.spoolName))) {
      t.connection.Close();
      return true;
    }
    bool startsLine = atLineStart;
    if (!ReadLine(t.file, line)) return FileEnded(t, "unexpected EOF", line);
    atLineStart = line.back() == '\n';
    if (phase == Phase::Commands && IsRecipientLine(line) && !ReplaceRecipientsZone(t, line)) {
      return FileEnded(t, "unexpected EOF (recipients zone)", line);
    }
    const bool inData = phase == Phase::Data;
    if (inData && startsLine && line == kEndOfDataLine) phase = Phase::DataEnded;
    if (phase == Phase::Commands && StartsWithIgnoreCase(line, "MAIL FROM:")) line = MailLine(t, line);
    t.unsent += inData ? t.rewrite.Take(line, startsLine) : line;
    if (phase == Phase::Data && t.unsent.size() < kDataSendBatch) continue;
    if (Status sent = SendPending(t); !sent) return SendFailed(t, sent);
    if (phase == Phase::Data) continue;
    std::string reply;
    auto wait = phase == Phase::DataEnded ? t.relay.timings.client.dataReply : t.relay.timings.client.reply;
    if (!t.replies.Read(t.connection, wait, reply)) return NoReply(t);
    bool result = false;
    if (Judge(t, reply, line, result) == Verdict::Done) return result;
    if (phase == Phase::DataEnded) return reply[0] == '2' ? Accepted(t) : Unexpected(t, reply, line);
    if (StartsWithIgnoreCase(line, "DATA")) {
      if (reply[0] != '3') return Unexpected(t, reply, line);
      phase = Phase::Data;
    } else if (StartsWithIgnoreCase(line, "QUIT")) {
      return Finish(t, line);
    }
  }
}

enum class Reached { Connected, NotResolved, Refused };
Reached Connect(Transaction& t);
bool CannotConnect(Transaction& t);

// Opportunistic TLS that fails must not strand the message, as it would with a server whose
// TLS is broken or too old: a new connection carries the stored dialogue, as if STARTTLS had
// not been offered.
bool ReplayInTheClear(Transaction& t, const std::string& why) {
  t.relay.AppendLog("Warning : " + WithoutErrorMark(why) + "; sending without TLS");
  t.connection.Close();
  t.replies.Clear();
  t.unsent.clear();
  t.security.tls = NextRelaySecurity::Tls::None;
  t.clearAfterTls = true;
  t.offersSize = t.offers8BitMime = false;
  t.rewrite = HeaderRewrite(t.settings.RewriteSender);
  if (!t.file.Rewind()) return FileEnded(t, "unexpected EOF", "");
  if (Connect(t) != Reached::Connected) return CannotConnect(t);
  std::string greeting;
  if (!t.replies.Read(t.connection, t.relay.timings.client.reply, greeting)) return NoReply(t);
  return Replay(t);
}

// EHLO, STARTTLS and the login in place of the stored HELO line, then the replay from the
// MAIL line on.
bool OpenAndReplay(Transaction& t) {
  std::string heloLine;
  if (!ReadLine(t.file, heloLine)) return FileEnded(t, "unexpected EOF", heloLine);
  OpeningResult opened =
      OpenSession(t.connection, t.replies, HeloDomain(heloLine), t.security, t.server, t.relay.timings.client.reply,
                  t.relay.stop());
  bool result = false;
  switch (opened.kind) {
    case OpeningResult::Kind::Ready:
      t.offersSize = opened.offersSize;
      t.offers8BitMime = opened.offers8BitMime;
      return Replay(t);
    case OpeningResult::Kind::UseHelo:
      if (!t.file.Rewind()) return FileEnded(t, "unexpected EOF", heloLine);
      return Replay(t);
    case OpeningResult::Kind::Fault:
      if (opened.loginRefused) NoteLoginRefused(t.relay, t.spoolName, t.server, opened.text);
      return ConfigurationFault(t, opened.text);
    case OpeningResult::Kind::ClearOnly:
      return ReplayInTheClear(t, opened.text);
    case OpeningResult::Kind::Waiting:
      return WaitingFor(t, opened.text);
    case OpeningResult::Kind::Reply:
      if (Judge(t, opened.text, opened.sent, result) == Verdict::Done) return result;
      break;
    case OpeningResult::Kind::NoReply:
      break;
  }
  return NoReply(t);
}

Reached Connect(Transaction& t) {
  if (!t.race) {
    std::vector<SocketAddress> addresses = HopAddresses(t.relay, t.settings, t.hop);
    if (addresses.empty()) return Reached::NotResolved;
    const ClientTimeouts& limits = t.relay.timings.client;
    t.race.emplace(std::move(addresses), AddressRace::Timing{limits.connect, limits.nextAddress},
                   [&t] { return t.relay.StopOrCancelled(); });
  }
  auto winner = t.race->Connect();
  if (!winner) return Reached::Refused;
  t.connection.Open(std::move(winner->socket));
  t.connectedTo = winner->index;
  return Reached::Connected;
}

// No address of the server connected; with more than one, each says why.
bool CannotConnect(Transaction& t) {
  std::string why = "can't connect to " + t.server;
  if (t.race && t.race->addresses().size() > 1) why += " (" + t.race->Failures() + ")";
  if (t.after.any) return PassToNextHop(t, why);
  return Unreached(t, why);
}

// The address used is logged whenever there was a choice, or it is an IPv6 one; a server with
// one IPv4 address logs as it always did.
void LogConnected(Transaction& t) {
  const auto& addresses = t.race->addresses();
  if (addresses.size() == 1 && addresses.front().family() == AF_INET) return;
  t.relay.AppendLog("Connected to " + t.server + " " + BracketedAddress(addresses[t.connectedTo]));
}

// Connects and reads the greeting. A server address that sends no greeting, or a 4xx one,
// gives way to the next address while one is left; the last one's greeting is taken as it
// comes, and only its absence ends the attempt.
std::optional<bool> ConnectAndGreet(Transaction& t) {
  for (bool counted = false;;) {
    switch (Connect(t)) {
      case Reached::NotResolved:
        t.relay.AppendLog("Error : can't find IP for " + t.server);
        NoteDeliveryError(t.relay, t.spoolName, t.recipientLine, "can't find IP for " + t.server);
        if (t.after.any) return PassToNextHop(t, "can't find IP for " + t.server);
        t.unreached = true;
        return false;
      case Reached::Refused:
        return CannotConnect(t);
      case Reached::Connected:
        break;
    }
    if (!counted) ++t.relay.counters.sentAll;
    counted = true;
    LogConnected(t);
    if (t.security.tls == NextRelaySecurity::Tls::Implicit) {
      TlsOutcome outcome = t.connection.StartTls(t.security.check, t.relay.timings.client.reply);
      if (!outcome.ok()) return ConfigurationFault(t, TlsFaultLine(outcome, t.server));
    }
    std::string greeting;
    bool answered = t.replies.Read(t.connection, t.relay.timings.client.reply, greeting);
    bool refused = !answered || greeting[0] == '4';
    if (refused && t.race->OthersLeft(t.connectedTo)) {
      t.race->Fail(t.connectedTo, answered ? ReplyText(greeting) : "no reply");
      t.connection.Close();
      t.replies.Clear();
      continue;
    }
    if (!answered) return NoReply(t);
    return std::nullopt;
  }
}

// The attempt itself; true when the caller may go on from the file's position.
bool Attempt(Transaction& t) {
  RelayServices& relay = t.relay;
  if (t.settings.Logrec) relay.AppendLog("Sending mail to " + t.address);
  if (!t.file.Rewind()) {
    relay.AppendLog("Error : can't read " + t.spoolName);
    return false;
  }
  if (std::optional<bool> ended = ConnectAndGreet(t)) return *ended;
  return t.security.SpeaksEsmtp() ? OpenAndReplay(t) : Replay(t);
}

}  // namespace

// The parameters the client's MAIL may have had are not kept; the next relay is told what it
// can use of them from the file itself: its size (an upper bound, as SIZE allows), and that
// the body may hold 8-bit text, which a client may send without declaring it.
std::string OutgoingMailLine(std::string line, const std::string& sendAs, bool offers8BitMime, bool offersSize,
                             SpoolFile& file) {
  if (!sendAs.empty()) line = RewriteMailLine(line, sendAs);
  std::string parameters;
  if (offers8BitMime) parameters += " BODY=8BITMIME";
  auto length = file.Length();
  if (offersSize && length) parameters += " SIZE=" + std::to_string(length.value());
  line.insert(line.find_last_not_of("\r\n") + 1, parameters);
  return line;
}

bool RecordRecipientState(RelayServices& relay, SpoolFile& file, const std::string& spoolName, off_t position,
                          char letter) {
  auto nextPending = RewriteStateLetter(file, position, letter);
  if (nextPending) return nextPending.value();
  relay.AppendLog("Error : can't record a recipient's state in " + spoolName + ": " +
                  SystemErrorText(nextPending.failure()));
  return false;
}

std::vector<SocketAddress> HopAddresses(RelayServices& relay, const Settings& settings, const Hop& hop) {
  ServerAddress address = ParseServerAddress(hop.server, kSmtpPort);
  std::vector<SocketAddress> found;
  if (hop.addresses) {
    found = SortForConnecting(hop.addresses(address.host, address.port), SystemSourceFor);
  } else {
    auto abandon = [&relay] { return relay.StopOrCancelled(); };
    auto looked = LookUpHost(address.host, address.port, AddressFamilyOf(settings.IPFamily), abandon);
    if (looked) found = std::move(looked.value());
  }
  found = InterleaveFamilies(found);
  if (found.size() > MxResolver::kMaxAddresses) found.resize(MxResolver::kMaxAddresses);
  return found;
}

bool RecordDeferral(RelayServices& relay, SpoolFile& file, const std::string& spoolName,
                    const std::string& recipientLine, off_t position, const PendingDeferral& deferral) {
  NoteDeliveryError(relay, spoolName, recipientLine, deferral.reason);
  if (!IsLastDeferral(recipientLine)) {
    return RecordRecipientState(relay, file, spoolName, position, static_cast<char>(recipientLine[0] + 1));
  }
  // The sixth: the recipient is finished only once its sender's notice is safely queued.
  if (!SendFailureNotice(relay, spoolName, deferral.reason, recipientLine)) return false;
  if (deferral.sent.size() > 3 && StartsWithIgnoreCase(deferral.sent, "QUIT")) ++relay.counters.sentOk;
  return RecordRecipientState(relay, file, spoolName, position, 'X');
}

HopOutcome DeliverRecipient(RelayServices& relay, const Settings& settings, SpoolFile& file,
                            const std::string& spoolName, const Hop& hop, const std::string& recipientLine,
                            off_t position, const HopsAfter& after) {
  if (recipientLine.empty() || hop.server.empty()) return {HopOutcome::Kind::Settled, false};
  if (relay.queue.FlushedWhileTaken(spoolName)) return {HopOutcome::Kind::Settled, true};
  Transaction t{relay, settings, file, spoolName, hop, hop.server, recipientLine, position, after,
                RecipientAddress(recipientLine), hop.security};
  bool goOn = Attempt(t);
  if (t.passedOn) return {HopOutcome::Kind::PassedOn, false, t.passedWhy, t.toAlternate, t.deferral};
  if (t.unreached) return {HopOutcome::Kind::Unreached, false};
  return {HopOutcome::Kind::Settled, goOn};
}

namespace {

// One of the connections to a hop that may be open at once, held while a recipient's
// transaction uses it; granted at once where there is no cap.
class ConnectionPlace {
 public:
  ConnectionPlace(RelayServices& relay, const Settings& settings, const Route& route, const Hop& hop) {
    int cap = route.sessions != nullptr ? ConnectionsPerRelayFor(settings, hop) : 0;
    if (cap <= 0) return;
    key_ = SessionKey(route.account, hop);
    RelaySessions::Lease lease = route.sessions->Acquire(key_, cap, kPlaceWait, [&relay] { return relay.StopOrCancelled(); });
    if (lease.kind == RelaySessions::Lease::Kind::Abandoned) {
      granted = false;
      return;
    }
    // A session kept open by a delivery of several recipients at once is not for this one.
    if (lease.session) lease.session->connection->Close();
    sessions_ = route.sessions;
  }
  ~ConnectionPlace() {
    if (sessions_ != nullptr) sessions_->Release(key_);
  }
  ConnectionPlace(const ConnectionPlace&) = delete;
  ConnectionPlace& operator=(const ConnectionPlace&) = delete;

  bool granted = true;

 private:
  static constexpr std::chrono::minutes kPlaceWait{10};
  RelaySessions* sessions_ = nullptr;
  std::string key_;
};

HopsAfter HopsAfterOf(const Route& route, size_t i) {
  HopsAfter after;
  after.any = i + 1 < route.hops.size();
  after.exchanger = after.any && route.hops[i].kind == Hop::Kind::Exchanger &&
                    route.hops[i + 1].kind == Hop::Kind::Exchanger;
  after.alternate = after.any && route.hops.back().kind == Hop::Kind::Alternate;
  return after;
}

void LogNextHop(RelayServices& relay, const Hop& hop, const std::string& spoolName, const std::string& why) {
  if (hop.kind == Hop::Kind::Alternate) {
    relay.AppendLog("Warning : Using alternative SMTP server for email :" + spoolName);
  } else {
    relay.AppendLog("Warning : Using next mail exchanger " + hop.server + " for email :" + spoolName + " (" + why + ")");
  }
}

}  // namespace

bool DeliverAlongRoute(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                       const Route& route, const std::string& recipientLine, off_t position) {
  std::optional<PendingDeferral> deferral;
  std::string why;
  for (size_t i = 0; i < route.hops.size(); ++i) {
    if (i > 0 && relay.StopOrCancelled()) break;  // what an earlier hop answered still counts
    if (i > 0) LogNextHop(relay, route.hops[i], spoolName, why);
    ConnectionPlace place(relay, settings, route, route.hops[i]);
    if (!place.granted) break;  // stopped, or no connection came free: the recipient waits
    HopOutcome outcome = DeliverRecipient(relay, settings, file, spoolName, route.hops[i], recipientLine, position,
                                          HopsAfterOf(route, i));
    if (outcome.kind == HopOutcome::Kind::Settled) return outcome.goOn;
    if (outcome.kind == HopOutcome::Kind::Unreached) break;
    if (!deferral) deferral = outcome.deferral;
    why = outcome.why;
    if (outcome.toAlternate) i = route.hops.size() - 2;  // the alternate server is the last hop
  }
  if (!deferral) return false;
  // The best exchanger that answered asked for a later try, and no hop after it took the
  // recipient or refused it for good.
  if (deferral->fourXx && settings.Logdel) {
    relay.AppendLog("Sending to " + RecipientAddress(recipientLine) + " delayed (4xx STMP error)");
  }
  return RecordDeferral(relay, file, spoolName, recipientLine, position, *deferral);
}

}  // namespace vellomar
