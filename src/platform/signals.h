#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "platform/error_or.h"

namespace vellomar {

// One thin wrapper per signal call: the value or the error, no policy.

// What the process does on `signal`: a handler, SIG_DFL or SIG_IGN.
Status SetSignalAction(int signal, sighandler_t action);
// The calling thread's mask: `how` is SIG_BLOCK, SIG_UNBLOCK or SIG_SETMASK.
Status ChangeThreadSignalMask(int how, const sigset_t& signals);
// Sends `signal` to the calling thread.
Status RaiseSignal(int signal);
// One of `signals` taken from the pending ones, waiting at most `wait`; EAGAIN when none came.
ErrorOr<int> WaitForSignal(const sigset_t& signals, std::chrono::milliseconds wait);
// One of `signals`, waiting for as long as it takes: a thread that waits so is ended by
// sending it one of them (SignalThread).
ErrorOr<int> WaitForSignal(const sigset_t& signals);
// pthread_kill: `signal` for that thread alone.
Status SignalThread(pthread_t thread, int signal);
// Ends the process at once: no destructors, no atexit handlers, no flushing.
[[noreturn]] void ExitAtOnce(int status);

}  // namespace vellomar
