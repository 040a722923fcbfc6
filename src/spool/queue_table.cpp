#include "spool/queue_table.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"
#include "platform/file_system.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

using Row = std::vector<std::string>;

std::string TwoUnits(long first, const char* firstUnit, long second, const char* secondUnit) {
  char text[48];
  std::snprintf(text, sizeof text, "%ld%s %02ld%s", first, firstUnit, second, secondUnit);
  return text;
}

std::string Padded(const std::string& text, size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

}  // namespace

std::vector<WaitingMessage> ReadWaitingMessages(const std::string& directory) {
  std::vector<WaitingMessage> messages;
  auto names = ListDirectory(directory);
  if (!names) return messages;
  std::vector<std::string> sorted = names.value();
  std::sort(sorted.begin(), sorted.end());
  for (const std::string& name : sorted) {
    std::string path = directory + "/" + name;
    if (!HasSpoolExtension(name) || KindOf(path) != EntryKind::Regular) continue;
    auto message = ReadWaitingMessage(path, name);
    if (message) messages.push_back(std::move(message.value()));
  }
  return messages;
}

std::string AgeText(std::optional<std::time_t> arrival, std::time_t now) {
  if (!arrival) return "-";
  long seconds = std::max<long>(0, static_cast<long>(now - *arrival));
  if (seconds < 60) return std::to_string(seconds) + "s";
  long minutes = seconds / 60;
  if (minutes < 60) return std::to_string(minutes) + "m";
  long hours = minutes / 60;
  if (hours < 24) return TwoUnits(hours, "h", minutes % 60, "m");
  return TwoUnits(hours / 24, "d", hours % 24, "h");
}

std::string RecipientsText(const std::vector<WaitingRecipient>& recipients) {
  std::string text;
  for (const WaitingRecipient& recipient : recipients) {
    if (!text.empty()) text += ", ";
    text += recipient.address + " " + RecipientStateText(recipient.state);
  }
  return text;
}

std::string QueueTable(const std::vector<WaitingMessage>& messages, std::time_t now, const AccountLabeller& accountOf) {
  std::vector<Row> rows{{"File", "Age", "Sender", "Subject", "Recipients"}};
  if (accountOf) rows[0].insert(rows[0].begin() + 3, "Account");
  for (const WaitingMessage& message : messages) {
    Row row{message.name, AgeText(message.arrival, now), message.sender, message.subject,
            RecipientsText(message.recipients)};
    if (accountOf) row.insert(row.begin() + 3, accountOf(message.sender));
    rows.push_back(std::move(row));
  }
  const size_t columns = rows[0].size();
  std::vector<size_t> widths(columns);
  for (const Row& row : rows) {
    for (size_t c = 0; c < columns; ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string table;
  for (const Row& row : rows) {
    std::string line;
    for (size_t c = 0; c + 1 < columns; ++c) line += Padded(row[c], widths[c]) + "  ";
    table += line + row[columns - 1] + "\n";
  }
  size_t count = messages.size();
  return table + std::to_string(count) + (count == 1 ? " message waits.\n" : " messages wait.\n");
}

}  // namespace vellomar
