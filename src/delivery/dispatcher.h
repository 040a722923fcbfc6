#pragma once

namespace vellomar {

class WindowServices;
class ThreadHandle;

// The delivering side's thread: takes the waiting spool files one after another and starts
// a worker for each while fewer than Output deliveries are shown; ends when no waiting file
// is left, or on a stop or flush request. Passes its pause gate at the top of each pass and
// right before each worker start, holding no lock. 1 when it ended without a stop request.
int DispatcherThread(WindowServices& window, ThreadHandle& self);

}  // namespace vellomar
