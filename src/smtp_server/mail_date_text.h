#pragma once

#include <ctime>
#include <string>

namespace vellomar {

// The date as the greeting shows it: "Sun, 6 Dec 2026 8:5:3 +0100 (CET)" (headers take
// RFC 5322's form, HeaderDate).
// Numbers carry no zero padding; the offset is the one in effect at that moment (summer time
// included, minutes kept), written without a sign at UTC; with no zone name the text ends in
// a blank. Thread-safe.
std::string MailDateText();

// The same text for a given local time, its offset east of UTC in seconds and its zone name.
std::string MailDateText(const std::tm& local, long offsetSeconds, const std::string& zoneName);

}  // namespace vellomar
