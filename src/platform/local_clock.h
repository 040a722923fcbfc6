#pragma once

#include <ctime>
#include <functional>

namespace vellomar {

// The system's local time now, with the zone state refreshed first (the zone may change while
// the program runs). Thread-safe.
std::tm LocalNow();

// Where a relay reads its local time: spool names, date texts, log stamps. Empty means the
// system clock; tests give a source so that a given moment (9:05:03, say) can be reproduced.
using LocalTimeSource = std::function<std::tm()>;

// The broken-down local time of `when`, with the zone state refreshed first. Thread-safe.
std::tm LocalTimeAt(std::time_t when);

}  // namespace vellomar
