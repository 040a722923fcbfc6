#include "delivery/route_walk.h"

#include <optional>
#include <utility>

#include "delivery/outcome_recorder.h"
#include "delivery/route.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

using Kind = RecipientOutcome::Kind;

// What the route holds after the hop being tried, which decides what passes a recipient on
// instead of settling it there.
struct HopsAfter {
  bool any = false;        // a server that cannot be reached passes the recipient on
  bool exchanger = false;  // so do a temporary refusal and a server that falls silent
  bool alternate = false;  // a 550 or 554 passes it to the alternate server, past any exchanger
};

HopsAfter HopsAfterOf(const Route& route, size_t i) {
  HopsAfter after;
  after.any = i + 1 < route.hops.size();
  after.exchanger = after.any && route.hops[i].kind == Hop::Kind::Exchanger &&
                    route.hops[i + 1].kind == Hop::Kind::Exchanger;
  after.alternate = after.any && route.hops.back().kind == Hop::Kind::Alternate;
  return after;
}

// A recipient on its way, with the temporary refusal that passed it on: recorded if no later
// hop settles it.
struct Traveller {
  PendingRecipient recipient;
  std::optional<RecipientOutcome> deferral{};
};

bool ToAlternate(const HopsAfter& after, const RecipientOutcome& outcome) {
  bool refusal = outcome.kind == Kind::Refused || outcome.kind == Kind::NotReached;
  return after.alternate && refusal && (outcome.reply.rfind("550", 0) == 0 || outcome.reply.rfind("554", 0) == 0);
}

// Whether the route takes recipients to its next hop instead of settling them at this one.
bool PassesOn(const HopsAfter& after, const RecipientOutcome& outcome) {
  using Cause = RecipientOutcome::Cause;
  if (ToAlternate(after, outcome)) return true;
  if (outcome.kind == Kind::Deferred) return after.exchanger;
  if (outcome.kind != Kind::NotReached) return false;
  if (outcome.cause == Cause::NoAddress || outcome.cause == Cause::NoConnection) return after.any;
  return outcome.cause == Cause::Silent && after.exchanger;
}

// One hop's attempt for a group: the outcomes the route passes on are held back for the next
// hop, the others recorded as they come.
class HopSink final : public OutcomeSink {
 public:
  HopSink(OutcomeRecorder& recorder, const Hop& hop, const HopsAfter& after, std::vector<Traveller>& group)
      : recorder_(recorder), hop_(hop), after_(after), group_(group), passed_(group.size()), settled_(group.size()) {}

  void Reached() override { recorder_.Reached(group_.size()); }

  bool Settled(const std::vector<size_t>& which, const RecipientOutcome& outcome) override {
    const bool passes = PassesOn(after_, outcome);
    // A name that gave no address is said and kept even when another hop takes the recipient.
    const bool unresolved = outcome.kind == Kind::NotReached && outcome.cause == RecipientOutcome::Cause::NoAddress;
    bool recorded = true;
    if (!passes || unresolved) {
      std::vector<PendingRecipient> recipients;
      for (size_t i : which) recipients.push_back(group_[i].recipient);
      recorded = recorder_.Record(recipients, outcome);
    }
    for (size_t i : which) {
      passed_[i] = passes;
      settled_[i] = !passes && outcome.kind != Kind::NotReached;
      if (passes && outcome.kind == Kind::Deferred && !group_[i].deferral) group_[i].deferral = outcome;
    }
    if (passes) why_ = outcome.reply.empty() ? outcome.reason : hop_.server + ": " + outcome.reply;
    toAlternate_ = toAlternate_ || ToAlternate(after_, outcome);
    return recorded;
  }

  bool passed(size_t i) const { return passed_[i]; }
  bool settled(size_t i) const { return settled_[i]; }
  const std::string& why() const { return why_; }
  bool toAlternate() const { return toAlternate_; }

 private:
  OutcomeRecorder& recorder_;
  const Hop& hop_;
  const HopsAfter after_;
  std::vector<Traveller>& group_;
  std::vector<bool> passed_, settled_;
  std::string why_;
  bool toAlternate_ = false;
};

void LogNextHop(RelayServices& relay, const Hop& hop, const std::string& spoolName, const std::string& why) {
  if (hop.kind == Hop::Kind::Alternate) {
    relay.AppendLog("Warning : Using alternative SMTP server for email :" + spoolName);
  } else {
    relay.AppendLog("Warning : Using next mail exchanger " + hop.server + " for email :" + spoolName + " (" + why + ")");
  }
}

}  // namespace

Walked WalkRoute(OutcomeRecorder& recorder, RelayServices& relay, const Settings& settings, SpoolFile& file,
                 const std::string& spoolName, const Route& route, const std::vector<PendingRecipient>& recipients) {
  Walked walked;
  std::vector<Traveller> group, stayed;
  for (const PendingRecipient& recipient : recipients) group.push_back(Traveller{recipient});
  const TransportContext context{relay, settings, route.sessions, route.account};
  std::string why;
  for (size_t i = 0; i < route.hops.size() && !group.empty(); ++i) {
    const Hop& hop = route.hops[i];
    if (hop.server.empty()) break;                // a hop that names no server makes no attempt
    if (i > 0 && relay.StopOrCancelled()) break;  // what an earlier hop answered still counts
    if (i > 0) LogNextHop(relay, hop, spoolName, why);
    walked.stopped = relay.queue.FlushedWhileTaken(spoolName);
    std::unique_ptr<Transport> transport = walked.stopped ? nullptr : TransportFor(hop.transport, context);
    if (!walked.stopped && !transport) relay.AppendLog("Error : no transport named " + hop.transport);
    if (!transport) break;
    std::vector<PendingRecipient> carried;
    for (const Traveller& t : group) carried.push_back(t.recipient);
    recorder.Attempting(carried);
    HopSink sink(recorder, hop, HopsAfterOf(route, i), group);
    const Delivery delivery{file, spoolName, settings.RewriteSender, std::move(carried), hop};
    Carried ended = transport->Carry(delivery, sink);
    if (ended.release) walked.releases.push_back(std::move(ended.release));
    if (ended.stopped) return Walked{true, std::move(walked.releases)};
    std::vector<Traveller> next;
    for (size_t k = 0; k < group.size(); ++k) {
      if (sink.passed(k)) {
        next.push_back(std::move(group[k]));
      } else if (!sink.settled(k)) {
        stayed.push_back(std::move(group[k]));
      }
    }
    group = std::move(next);
    why = sink.why();
    if (sink.toAlternate()) i = route.hops.size() - 2;  // the alternate server is the last hop
  }
  if (walked.stopped) return walked;
  // The best exchanger that answered asked for a later try, and no hop after it took the
  // recipient or refused it for good.
  for (Traveller& t : group) stayed.push_back(std::move(t));
  for (const Traveller& t : stayed) {
    if (t.deferral) (void)recorder.Record({t.recipient}, *t.deferral);  // a failed write holds the file
  }
  return walked;
}

bool DeliverAlongRoute(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                       const Route& route, const std::string& recipientLine, off_t position) {
  if (recipientLine.empty()) return false;
  OutcomeRecorder recorder(relay, settings, file, spoolName);
  const std::vector<PendingRecipient> one{PendingRecipient{recipientLine, position}};
  Walked walked = WalkRoute(recorder, relay, settings, file, spoolName, route, one);
  // One recipient's own transaction leaves nothing open; whatever did goes now.
  for (const auto& release : walked.releases) release();
  return recorder.nextPending().value_or(walked.stopped);
}

}  // namespace vellomar
