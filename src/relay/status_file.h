#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellomar {

// What a running relay knows beyond its files, kept for `vellomar --status` in `status.json`
// in its folder: since when it runs, its listener's ports, each account's last success and
// last failure, and when each waiting file that is not due is tried next. The relay replaces
// the file whole whenever this changes (a reader sees the old or the new one, never a part),
// at most every couple of seconds; a reader believes it only while the program that wrote it
// holds the folder's lock. Times are seconds since the epoch.
inline constexpr const char* kStatusFile = "status.json";

struct AccountStatus {
  std::optional<int64_t> lastSuccess;
  std::optional<int64_t> lastFailure;
  std::string lastFailureReason;
  // Until the account's next success: its sign-in must be made again; the next relay refused
  // its login.
  bool signInNeeded = false;
  bool loginRefused = false;
  bool operator==(const AccountStatus&) const = default;
};

struct RelayStatusFile {
  int64_t pid = 0;
  int64_t started = 0;
  std::vector<int> ports;
  std::map<std::string, AccountStatus> accounts;
  // The last time a spool file could not be created or written, and why.
  std::optional<int64_t> spoolTroubleAt;
  std::string spoolTrouble;
  // Waiting files not yet due, by name: when they are tried next.
  std::map<std::string, int64_t> nextTries;
  bool operator==(const RelayStatusFile&) const = default;
};

// The file's text: one JSON object.
std::string StatusFileText(const RelayStatusFile& status);

// Reads a status file: whatever another program may have written there is taken with bounds
// (texts, counts and numbers); a text that is no status file gives none, a value of the wrong
// kind is left out.
std::optional<RelayStatusFile> ParseStatusFile(std::string_view text);

// Files larger than this are no status file of ours.
inline constexpr size_t kMaxStatusFile = 4 * 1024 * 1024;

}  // namespace vellomar
