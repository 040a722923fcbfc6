#include "common/header_date.h"

#include <cstdio>
#include <cstdlib>

#include "platform/local_clock.h"

namespace vellomar {

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string HeaderDate(const std::tm& local, long offsetSeconds) {
  long minutes = std::labs(offsetSeconds) / 60;
  char text[96];
  std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld", kDayNames[(local.tm_wday % 7 + 7) % 7],
                local.tm_mday, kMonthNames[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, offsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

std::string HeaderDate() {
  std::tm local = LocalNow();
  return HeaderDate(local, local.tm_gmtoff);
}

}  // namespace vellomar
