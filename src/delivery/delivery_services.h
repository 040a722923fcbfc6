#pragma once

#include <utility>

#include "delivery/sign_ins.h"

namespace vellomar {

class RelayServices;

// What a relay's delivering side shares beyond RelayServices, in the delivery's own terms: the
// sign-ins whose tokens log in at the next relay. The relay owns one and hands it to its
// dispatcher, which hands it to every worker; it outlives them all.
struct DeliveryServices {
  DeliveryServices(RelayServices& relay, SignInOptions options, SignIns::NeedHandler onSignInNeeded)
      : signIns(relay, std::move(options), std::move(onSignInNeeded)) {}

  SignIns signIns;
};

}  // namespace vellomar
