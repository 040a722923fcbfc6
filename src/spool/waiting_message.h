#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_system.h"

namespace vellomar {

class SpoolFile;

// One recipient of a waiting message: its address text and its state letter (R pending,
// S to W deferred one to five times, X done).
struct WaitingRecipient {
  std::string address;
  char state = 'R';
};

// What a waiting spool file says about itself, read without changing it: for the queue
// listing, the window's view of waiting mail, and the age of a message.
struct WaitingMessage {
  std::string name;
  std::optional<std::time_t> arrival;  // from the trace header; none in a notice
  std::string sender;
  std::string subject;
  std::vector<WaitingRecipient> recipients;
  // The file that was read, so that acting on it later acts on this file and no other.
  FileIdentity identity;
};

// The time a trace header's date ("Mon, 7 Dec 2026 15:32:21 +0100 (CET)", the day name and
// the zone comment optional) names; none when it is no such date.
std::optional<std::time_t> ParseMailDate(std::string_view text);

// The arrival time the trace header after the DATA line records. Reads from where the file
// is; the position afterwards is anywhere.
std::optional<std::time_t> ReadArrivalTime(SpoolFile& file);

// Reads the spool file at `path` (opened read-only).
ErrorOr<WaitingMessage> ReadWaitingMessage(const std::string& path, const std::string& name);

// "pending", "deferred 2 times", "done".
std::string RecipientStateText(char state);

}  // namespace vellomar
