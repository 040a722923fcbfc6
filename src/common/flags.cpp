#include "common/flags.h"

#include "platform/thread_handle.h"

namespace vellomar {

StopFlag stopRequested;
std::atomic<bool> flushRequested{false};

bool StopOrCancelled() {
  if (stopRequested.load()) return true;
  ThreadHandle* self = ThreadHandle::Current();
  return self != nullptr && self->IsCancelled();
}

}  // namespace vellomar
