#pragma once

#include <ctime>
#include <functional>

namespace vellomar {

// The local time every part of the program reads: spool names, date texts, log stamps.
// Tests set a source so that a given moment (9:05:03, say) can be reproduced.
std::tm LocalNow();

using LocalTimeSource = std::function<std::tm()>;
// An empty source restores the system clock.
void SetLocalTimeSource(LocalTimeSource source);

// The broken-down local time of `when`, with the zone state refreshed first (the zone may
// change while the program runs). Thread-safe.
std::tm LocalTimeAt(std::time_t when);

}  // namespace vellomar
