#pragma once

#include <ctime>
#include <string>

namespace vellomar {

// The date as RFC 5322 writes it in a message header: "Tue, 8 Dec 2026 08:24:51 +0100", the
// offset the one in effect at that moment (summer time included), signed even at UTC.
// Thread-safe.
std::string HeaderDate();

// The same text for a given local time and its offset east of UTC in seconds.
std::string HeaderDate(const std::tm& local, long offsetSeconds);

}  // namespace vellomar
