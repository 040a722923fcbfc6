#include "smtp_server/mail_date_text.h"

#include <cstdio>
#include <cstdlib>


namespace vellomar {

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string ZoneOffsetText(long offsetSeconds) {
  const char* sign = offsetSeconds > 0 ? "+" : offsetSeconds < 0 ? "-" : "";
  long minutes = std::labs(offsetSeconds) / 60;
  char text[48];
  std::snprintf(text, sizeof text, "%s%02ld%02ld", sign, minutes / 60, minutes % 60);
  return text;
}

}  // namespace

std::string MailDateText(const std::tm& local, long offsetSeconds, const std::string& zoneName) {
  char head[96];
  std::snprintf(head, sizeof head, "%s, %d %s %d %d:%d:%d ", kDayNames[(local.tm_wday % 7 + 7) % 7], local.tm_mday,
                kMonthNames[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec);
  std::string comment = zoneName.empty() ? std::string() : "(" + zoneName + ")";
  return head + ZoneOffsetText(offsetSeconds) + " " + comment;
}

std::string MailDateText(const std::tm& local) {
  return MailDateText(local, local.tm_gmtoff, local.tm_zone != nullptr ? local.tm_zone : "");
}

}  // namespace vellomar
