#include "support/program_state.h"

#include <mutex>

#include "common/app_directory.h"
#include "common/flags.h"
#include "platform/local_clock.h"
#include "spool/spool_lists.h"

namespace vellomar::test {

namespace {

void EmptyLists() {
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    // Reservations outlive Clear() by design; a test that reserves a name discards it.
    TheQueueList().Clear(false);
    TheQueueList().schedule() = RetrySchedule();
  }
  for (WorkerRegistry* registry : {&IncomingRegistry(), &OutgoingRegistry()}) {
    std::unique_lock<std::mutex> held(registry->lock);
    registry->TerminateAll(held);
  }
}

void ResetAll() {
  stopRequested.Reset();
  flushRequested = false;
  SetLocalTimeSource(nullptr);
  EmptyLists();
}

}  // namespace

ProgramState::ProgramState() {
  ResetAll();
  SetAppDirectory(appDir_.path());
}

ProgramState::~ProgramState() {
  ResetAll();
  SetAppDirectory("");
}

std::tm LocalTimeOfDay(int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  return local;
}

}  // namespace vellomar::test
