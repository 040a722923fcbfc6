#include "delivery/notice_header.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "common/text.h"

namespace vellomar {

namespace {

constexpr std::string_view kDaemon = "MAILER-DAEMON";

// The time, the notice and a random number: no other message, from this machine or another
// of the same name, has the same identifier.
std::string MessageId(const std::string& unique, const std::string& hostName) {
  std::random_device random;
  char text[64];
  std::snprintf(text, sizeof text, "%lld.%08x%08x", static_cast<long long>(std::time(nullptr)), random(), random());
  // GCC 12 at -O3 warns of an overlap (-Wrestrict) inside std::string's operator+ inlined here: a
  // known false positive of that compiler (its bug 105329); silenced for this line alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  return "<" + std::string(text) + "." + unique + "@" + hostName + ">";
#pragma GCC diagnostic pop
}

}  // namespace

NoticeHeader::NoticeHeader(std::string hostName, const std::string& unique, std::string date)
    : hostName_(std::move(hostName)), messageId_(MessageId(unique, hostName_)), date_(std::move(date)) {}

std::string NoticeHeader::Copy(const std::string& line) {
  switch (part_) {
    case Part::Envelope:
      if (StartsWithIgnoreCase(line, "DATA")) part_ = Part::Header;
      return line;
    case Part::Header:
      if (line == "\r\n" || line == "\n") {
        part_ = Part::Body;
        std::string missing;
        if (!hasDate_) missing += "Date: " + date_ + "\r\n";
        if (!hasMessageId_) missing += "Message-ID: " + messageId_ + "\r\n";
        return missing + line;
      }
      hasDate_ = hasDate_ || StartsWithIgnoreCase(line, "Date:");
      hasMessageId_ = hasMessageId_ || StartsWithIgnoreCase(line, "Message-ID:");
      return StartsWithIgnoreCase(line, "From:") ? Qualified(line) : line;
    case Part::Body:
      break;
  }
  return line;
}

std::string NoticeHeader::Qualified(const std::string& fromLine) const {
  size_t at = fromLine.find(kDaemon);
  if (at == std::string::npos) return fromLine;
  size_t end = at + kDaemon.size();
  if (end < fromLine.size() && fromLine[end] == '@') return fromLine;
  return fromLine.substr(0, end) + "@" + hostName_ + fromLine.substr(end);
}

}  // namespace vellomar
