#include "spool/relay_services.h"

#include "platform/thread_handle.h"

namespace vellomar {

bool RelayServices::StopOrCancelled() const {
  if (stop_.load()) return true;
  ThreadHandle* self = ThreadHandle::Current();
  return self != nullptr && self->IsCancelled();
}

}  // namespace vellomar
