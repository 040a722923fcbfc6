#include "spool/waiting_message.h"

#include <fcntl.h>

#include <array>
#include <cstdio>

#include "common/text.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"

namespace vellomar {

namespace {

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

int MonthIndex(const char* name) {
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (EqualsIgnoreCase(name, kMonths[i])) return static_cast<int>(i);
  }
  return -1;
}

// The last line read, and true while more lines follow; a last line without its line feed
// still counts.
bool NextLine(SpoolFile& file, std::string& line) { return ReadLine(file, line) || !line.empty(); }

}  // namespace

std::optional<std::time_t> ParseMailDate(std::string_view text) {
  text = Trimmed(text);
  size_t comma = text.find(',');
  if (comma != std::string_view::npos && comma < 10) text.remove_prefix(comma + 1);
  std::string copy(Trimmed(text));
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  char month[4] = {};
  if (std::sscanf(copy.c_str(), "%d %3s %d %d:%d:%d %n", &day, month, &year, &hour, &minute, &second, &used) < 6) {
    return std::nullopt;
  }
  int monthIndex = MonthIndex(month);
  if (monthIndex < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  int zone = 0;
  if (used > 0 && (copy[used] == '+' || copy[used] == '-') && std::sscanf(copy.c_str() + used + 1, "%4d", &zone) == 1) {
    zone = (zone / 100 * 60 + zone % 100) * 60 * (copy[used] == '-' ? -1 : 1);
  }
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = monthIndex;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  return ::timegm(&utc) - zone;
}

std::optional<std::time_t> ReadArrivalTime(SpoolFile& file) {
  std::string line;
  while (NextLine(file, line) && !EndsRecipientsZone(line)) {
  }
  if (!EndsRecipientsZone(line) || !NextLine(file, line) || !StartsWithIgnoreCase(line, "Received:")) {
    return std::nullopt;
  }
  std::string header = line;
  while (NextLine(file, line) && (line[0] == ' ' || line[0] == '\t')) header += line;
  size_t semicolon = header.rfind(';');
  if (semicolon == std::string::npos) return std::nullopt;
  return ParseMailDate(std::string_view(header).substr(semicolon + 1));
}

namespace {

// The envelope: sender and recipients, up to the DATA line.
void ReadEnvelope(SpoolFile& file, WaitingMessage& message) {
  std::string line;
  while (NextLine(file, line) && !EndsRecipientsZone(line)) {
    if (StartsWithIgnoreCase(line, "MAIL")) message.sender = std::string(Trimmed(AfterFirstColon(line)));
    if (IsRecipientLine(line)) message.recipients.push_back({RecipientAddress(line), ToUpperAscii(line[0])});
  }
}

// The subject, from the message's header (up to its first empty line).
void ReadSubject(SpoolFile& file, WaitingMessage& message) {
  std::string line;
  while (NextLine(file, line) && line != "\r\n" && line != "\n") {
    if (StartsWithIgnoreCase(line, "Subject:")) {
      message.subject = std::string(Trimmed(std::string_view(line).substr(8)));
      return;
    }
  }
}

}  // namespace

ErrorOr<WaitingMessage> ReadWaitingMessage(const std::string& path, const std::string& name) {
  auto opened = SpoolFile::Open(path, O_RDONLY);
  if (!opened) return ErrorOr<WaitingMessage>::Fail(opened.error());
  SpoolFile& file = opened.value();
  WaitingMessage message;
  message.name = name;
  // Unknown, it matches no file: a deletion then finds the message gone rather than guess.
  if (auto identity = IdentityOf(file.fd())) message.identity = identity.value();
  ReadEnvelope(file, message);
  // The subject search starts after the DATA line; the trace header is read on its own pass.
  ReadSubject(file, message);
  if (file.Rewind()) message.arrival = ReadArrivalTime(file);
  return message;
}

std::string RecipientStateText(char state) {
  state = ToUpperAscii(state);
  if (state == 'R') return "pending";
  if (state == 'X') return "done";
  if (state >= 'S' && state <= 'W') {
    int times = state - 'R';
    return "deferred " + std::to_string(times) + (times == 1 ? " time" : " times");
  }
  return std::string("state ") + state;
}

}  // namespace vellomar
