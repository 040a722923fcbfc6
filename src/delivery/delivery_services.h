#pragma once

#include <utility>

#include "delivery/own_addresses.h"
#include "delivery/pacing.h"
#include "delivery/relay_sessions.h"
#include "sign_in/sign_ins.h"
#include "spool/relay_services.h"

namespace vellomar {

// What a relay's delivering side shares beyond RelayServices, in the delivery's own terms: the
// sign-ins whose tokens log in at the next relay, the connections to it. The relay owns one and hands it to its
// dispatcher, which hands it to every worker; it outlives them all.
struct DeliveryServices {
  DeliveryServices(RelayServices& relay, SignInOptions options, SignIns::NeedHandler onSignInNeeded)
      : signIns(relay.directory(), relay.stop(), [&relay](const std::string& line) { relay.AppendLog(line); },
                std::move(options), std::move(onSignInNeeded)),
        pacer(relay.FilePath(kPacingFile)) {}

  SignIns signIns;
  // The connections open to each next relay, and the sessions kept for the next message.
  RelaySessions sessions;
  Pacer pacer;
  // What the deliveries warn of once while the relay runs.
  SaidOnce saidOnce;
};

}  // namespace vellomar
