#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "common/settings.h"

namespace vellomar {

// What `vellomar --status` finds of the relay of one folder, from what the relay keeps there:
// the program lock (whether one runs), the spool files and their recipients' states, the
// pacing counts, the sign-in token files, the status file the running relay keeps (since when
// it runs, its ports, each account's last success and failure, each waiting file's next try)
// and the log's last lines. Nothing is written. Everything read is another program's writing,
// read with bounds.

// How a monitoring check takes it: the exit status of a Nagios-style plug-in.
enum class Health { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// Pending recipients by what they wait for.
struct RecipientCounts {
  int due = 0;       // tried at the next run
  int deferred = 0;  // tried again at their file's next try
  int paced = 0;     // held for their account's pace
  int signIn = 0;    // waiting for their account's sign-in
  int Total() const { return due + deferred + paced + signIn; }
};

struct AccountReport {
  std::string name;
  int messages = 0;
  RecipientCounts recipients;
  std::optional<int64_t> lastSuccess;
  std::optional<int64_t> lastFailure;
  std::string lastFailureReason;
  // "none" (no sign-in), "signed-in", "keyring" (kept in the desktop keyring, not looked at),
  // "not-signed-in", "expired" (the relay found it must be made again), "unusable" (its
  // values name no provider).
  std::string signIn = "none";
  bool loginRefused = false;
  std::optional<int64_t> pacedUntil;
  int32_t maxPerMinute = 0;
  int32_t maxRecipientsPerDay = 0;
  int64_t messagesLastMinute = 0;
  int64_t recipientsLastDay = 0;
};

struct RelayStatus {
  std::string folder;
  int64_t time = 0;
  // Empty when the folder could be read; else why not (the status is then Unknown).
  std::string unreadable;
  bool running = false;
  std::optional<pid_t> pid;
  std::optional<int64_t> since;
  std::vector<int> ports;
  bool writable = true;
  std::optional<uint64_t> freeBytes;
  std::optional<int64_t> spoolTroubleAt;
  std::string spoolTrouble;
  int messages = 0;
  RecipientCounts recipients;
  std::optional<int64_t> oldestAge;
  std::optional<int64_t> nextTry;
  std::vector<AccountReport> accounts;
  std::vector<std::string> log;
  // The verdict, and the reasons for it, most serious first.
  Health health = Health::Ok;
  std::vector<std::string> problems;
};

// Where and how to look.
struct StatusQuery {
  // Where the files are read ("." once the command has moved into the folder), and the
  // folder's name as the user knows it.
  std::string directory;
  std::string folder;
  std::time_t now = 0;
  // Whether sign-ins made here are kept in the desktop keyring rather than in files.
  bool keyring = false;
};

// The spool's free space under which it counts as full.
inline constexpr uint64_t kSpoolFullBelow = 1024 * 1024;
// How long after a failed spool write the status stays critical.
inline constexpr int64_t kSpoolTroubleShown = 15 * 60;
// Log lines shown.
inline constexpr size_t kLogLinesShown = 5;

RelayStatus GatherStatus(const StatusQuery& query, const Settings& settings);
// The status of a folder that cannot be read, saying why.
RelayStatus UnreadableStatus(const std::string& folder, std::time_t now, const std::string& why);

}  // namespace vellomar
