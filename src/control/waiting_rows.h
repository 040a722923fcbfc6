#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "common/settings.h"
#include "spool/queue_list.h"
#include "spool/waiting_message.h"

namespace vellomar {

// One row of the window's view of waiting mail: what the spool file says, and what this run
// of the program knows of its tries.
struct WaitingRow {
  WaitingMessage message;
  std::string age;
  std::string recipients;
  std::string account;    // the name of the account that sends it
  std::string nextTry;    // "now", "in 4m", or "at 14:05"
  std::string lastError;  // "<address>: text", one per recipient that met one
};

// Every waiting spool file of the queue list's folder, read without changing it; a file being
// received is left out. `settings` choose each message's account.
std::vector<WaitingRow> ReadWaitingRows(QueueList& queue, std::time_t now, const Settings& settings);

}  // namespace vellomar
