#include "platform/signals.h"

#include <pthread.h>
#include <unistd.h>

#include <ctime>

namespace vellomar {

Status SetSignalAction(int signal, sighandler_t action) {
  if (::signal(signal, action) == SIG_ERR) return FailWith(errno);
  return Ok();
}

Status ChangeThreadSignalMask(int how, const sigset_t& signals) {
  int error = ::pthread_sigmask(how, &signals, nullptr);
  if (error != 0) return FailWith(error);
  return Ok();
}

Status RaiseSignal(int signal) {
  if (::raise(signal) != 0) return FailWith(errno);
  return Ok();
}

ErrorOr<int> WaitForSignal(const sigset_t& signals, std::chrono::milliseconds wait) {
  timespec limit{static_cast<time_t>(wait.count() / 1000), static_cast<long>(wait.count() % 1000) * 1000 * 1000};
  int signal = ::sigtimedwait(&signals, nullptr, &limit);
  if (signal < 0) return ErrorOr<int>::Fail(errno);
  return signal;
}

ErrorOr<int> WaitForSignal(const sigset_t& signals) {
  int signal = ::sigwaitinfo(&signals, nullptr);
  if (signal < 0) return ErrorOr<int>::Fail(errno);
  return signal;
}

Status SignalThread(pthread_t thread, int signal) {
  if (int error = ::pthread_kill(thread, signal); error != 0) return FailWith(error);
  return Ok();
}

void ExitAtOnce(int status) { ::_exit(status); }

}  // namespace vellomar
