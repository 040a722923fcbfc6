#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

#include "relay/status_board.h"
#include "relay/waiting_watch.h"

namespace vellomar {

class RelayServices;
class ThreadHandle;

// The relay's thread that keeps its status file current (status_file.h) and tells of the
// mail that has waited over an hour. It writes the file when the board changed, at most every
// couple of seconds, and at each look at the waiting mail (every minute); an idle relay whose
// status does not change writes nothing.
//
// Lock contract: it takes the board's and the queue list's locks one at a time, never two, and
// waits for nobody but the stop.
class StatusKeeper {
 public:
  // The account that sends a message from `sender`, as the relay's settings choose it.
  using AccountOf = std::function<std::string(const std::string& sender)>;

  static constexpr std::chrono::seconds kLookEvery{60};
  static constexpr std::chrono::hours kWaitingTooLong{1};
  static constexpr std::chrono::seconds kWriteSpacing{2};

  StatusKeeper(RelayServices& relay, StatusBoard& board, AccountOf accountOf);

  // The thread's body; ends at the relay's stop.
  int Run(ThreadHandle& self);
  // One pass: the waiting mail looked at when `look`, and the file written when it changed.
  void Pass(std::time_t now, bool look);

 private:
  RelayStatusFile Current() const;

  RelayServices& relay_;
  StatusBoard& board_;
  const AccountOf accountOf_;
  WaitingWatch watch_;
  // Whether the last write failed, so that the log says so once, and again once it works.
  bool failing_ = false;
};

}  // namespace vellomar
