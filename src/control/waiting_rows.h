#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "spool/waiting_message.h"

namespace vellomar {

// One row of the window's view of waiting mail: what the spool file says, and what this run
// of the program knows of its tries.
struct WaitingRow {
  WaitingMessage message;
  std::string age;
  std::string recipients;
  std::string nextTry;    // "now", "in 4m", or "at 14:05"
  std::string lastError;  // "<address>: text", one per recipient that met one
};

// Every waiting spool file of the application directory, read without changing it; a file
// being received is left out. Takes QueueLock for its own moments.
std::vector<WaitingRow> ReadWaitingRows(std::time_t now);

}  // namespace vellomar
