#pragma once

namespace vellomar {

class RelayServices;
struct DeliveryServices;
class ThreadHandle;

// The delivering side's thread: takes the waiting spool files one after another and starts
// a worker for each, handing it `delivery`, while fewer than Output deliveries run; ends when
// no waiting file is left, or on a stop request. Passes its pause gate at the top of each pass
// and right before each worker start, holding no lock. 1 when it ended without a stop request.
int DispatcherThread(RelayServices& relay, DeliveryServices& delivery, ThreadHandle& self);

}  // namespace vellomar
