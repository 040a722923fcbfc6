#include "control/relay_status.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "common/system_error.h"
#include "common/text.h"
#include "common/account_choice.h"
#include "delivery/pacing.h"
#include "sign_in/sign_ins.h"
#include "sign_in/token_store.h"
#include "platform/file_system.h"
#include "relay/program_lock.h"
#include "relay/status_file.h"
#include "spool/queue_table.h"

namespace vellomar {

namespace {

// The log's tail read for its last lines: a few lines' worth, whatever the log's size.
constexpr off_t kLogTail = 8192;

std::string Path(const StatusQuery& query, const std::string& name) { return query.directory + "/" + name; }

struct Holder {
  bool held = false;
  std::optional<pid_t> pid;
};

// Whether a program holds the folder's lock, and which, by the id it wrote. Probing takes the
// lock for a moment when nobody holds it; a program starting then waits that moment out.
Holder LockHolder(const std::string& path) {
  auto lock = OpenFile(path, O_RDONLY);
  if (!lock) return {};
  Status taken = LockExclusiveNoWait(lock.value().get());
  if (taken || taken.error() != EWOULDBLOCK) return {};
  return {true, ProgramLockHolder(path)};
}

// The running relay's own account of itself, when the program that wrote it is the one that
// runs now: a file left by an earlier run says nothing of this one.
std::optional<RelayStatusFile> RelayKnows(const StatusQuery& query, const Holder& holder) {
  if (!holder.held || !holder.pid) return std::nullopt;
  auto text = ReadWholeFile(Path(query, kStatusFile), kMaxStatusFile);
  if (!text) return std::nullopt;
  auto known = ParseStatusFile(text.value());
  if (!known || known->pid != *holder.pid) return std::nullopt;
  return known;
}

const AccountStatus* KnownAccount(const std::optional<RelayStatusFile>& known, const std::string& name) {
  if (!known) return nullptr;
  auto found = known->accounts.find(name);
  return found == known->accounts.end() ? nullptr : &found->second;
}

std::string SignInState(const Settings& settings, const Settings& values, const StatusQuery& query,
                        const AccountStatus* relayKnows) {
  // True relaying goes to the exchangers, which take no login.
  if (values.SMTP_OAuth.empty() || settings.REAL_RELAY) return "none";
  SignInValues made = NextRelaySignIn(values);
  OAuthProviderChoice choice = SignInProvider(made);
  if (!choice.provider) return "unusable";
  if (relayKnows != nullptr && relayKnows->signInNeeded) return "expired";
  auto token = FactsAt(TokenFilePath(query.directory, SignInAccount(*choice.provider, made.mailbox)));
  if (token && token.value().regular && token.value().size > 0) return "signed-in";
  return query.keyring ? "keyring" : "not-signed-in";
}

AccountReport ReportOf(const std::string& name, const Settings& settings, const Settings& values,
                       const StatusQuery& query, const std::optional<RelayStatusFile>& known, const Pacer& pacer) {
  AccountReport report;
  report.name = name;
  const AccountStatus* relayKnows = KnownAccount(known, name);
  if (relayKnows != nullptr) {
    report.lastSuccess = relayKnows->lastSuccess;
    report.lastFailure = relayKnows->lastFailure;
    report.lastFailureReason = relayKnows->lastFailureReason;
    report.loginRefused = relayKnows->loginRefused;
  }
  report.signIn = SignInState(settings, values, query, relayKnows);
  const auto now = std::chrono::system_clock::from_time_t(query.now);
  Pacer::Limits limits = PaceOf(values);
  report.maxPerMinute = limits.messagesPerMinute;
  report.maxRecipientsPerDay = limits.recipientsPerDay;
  Pacer::Used used = pacer.UsedAt(name, now);
  report.messagesLastMinute = used.messagesLastMinute;
  report.recipientsLastDay = used.recipientsLastDay;
  if (auto until = pacer.PacedUntil(name, limits, 1, now)) {
    report.pacedUntil = std::chrono::ceil<std::chrono::seconds>(until->time_since_epoch()).count();
  }
  return report;
}

bool WaitsForSignIn(const std::string& state) {
  return state == "expired" || state == "not-signed-in" || state == "unusable";
}

// When the file named `name` is tried next, as the running relay scheduled it; none when due.
std::optional<int64_t> NextTryOf(const std::optional<RelayStatusFile>& known, const std::string& name, int64_t now) {
  if (!known) return std::nullopt;
  // The relay's schedule keys its files by their folded names.
  std::string folded = name;
  for (char& c : folded) c = ToUpperAscii(c);
  auto found = known->nextTries.find(folded);
  if (found == known->nextTries.end()) found = known->nextTries.find(name);
  if (found == known->nextTries.end() || found->second <= now) return std::nullopt;
  return found->second;
}

void Keep(std::optional<int64_t>& earliest, int64_t time) {
  if (!earliest || time < *earliest) earliest = time;
}

// Each pending recipient of each message, by what it waits for, in the totals and its account's.
void CountMessages(RelayStatus& status, const std::vector<WaitingMessage>& messages, const Settings& settings,
                   const std::optional<RelayStatusFile>& known, const Pacer& pacer) {
  std::map<std::string, AccountReport*> accounts;
  for (AccountReport& report : status.accounts) accounts[report.name] = &report;
  const auto now = std::chrono::system_clock::from_time_t(status.time);
  for (const WaitingMessage& message : messages) {
    const Account* account = AccountFor(settings, message.sender);
    auto listed = accounts.find(AccountLabel(account));
    AccountReport& report = listed != accounts.end() ? *listed->second : status.accounts.front();
    const Settings& values = account != nullptr ? *account->values : settings;
    int pending = 0;
    for (const WaitingRecipient& recipient : message.recipients) pending += ToUpperAscii(recipient.state) != 'X';
    ++status.messages;
    ++report.messages;
    int* counted = &status.recipients.due;
    int* accountCounted = &report.recipients.due;
    auto paced = pacer.PacedUntil(report.name, PaceOf(values), pending, now);
    auto next = NextTryOf(known, message.name, status.time);
    if (WaitsForSignIn(report.signIn)) {
      counted = &status.recipients.signIn, accountCounted = &report.recipients.signIn;
    } else if (paced) {
      counted = &status.recipients.paced, accountCounted = &report.recipients.paced;
    } else if (next) {
      counted = &status.recipients.deferred, accountCounted = &report.recipients.deferred;
      Keep(status.nextTry, *next);
    }
    *counted += pending;
    *accountCounted += pending;
    // A notice has no trace header: it waits since it was written.
    int64_t arrival = message.arrival.value_or(message.identity.madeNs / 1000000000);
    if (pending > 0) status.oldestAge = std::max(status.oldestAge.value_or(0), std::max<int64_t>(0, status.time - arrival));
  }
}

// The log's last lines, control characters shown as blanks.
std::vector<std::string> LogTail(const std::string& path) {
  std::vector<std::string> lines;
  auto log = OpenFile(path, O_RDONLY | O_NOFOLLOW);
  if (!log) return lines;
  auto length = FileLength(log.value().get());
  if (!length) return lines;
  off_t from = std::max<off_t>(0, length.value() - kLogTail);
  if (!SeekTo(log.value().get(), from)) return lines;
  std::string tail(static_cast<size_t>(length.value() - from), '\0');
  auto read = ReadSome(log.value().get(), tail.data(), tail.size());
  if (!read) return lines;
  tail.resize(read.value());
  size_t start = 0;
  // A tail that begins inside a line begins at the next one.
  if (from > 0) start = std::min(tail.size(), tail.find('\n') + 1);
  for (size_t end; start < tail.size(); start = end + 1) {
    end = tail.find('\n', start);
    if (end == std::string::npos) end = tail.size();
    std::string line = tail.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    if (!line.empty()) lines.push_back(std::move(line));
  }
  if (lines.size() > kLogLinesShown) lines.erase(lines.begin(), lines.end() - kLogLinesShown);
  return lines;
}

void LookAtSpool(RelayStatus& status, const StatusQuery& query, const std::optional<RelayStatusFile>& known) {
  auto facts = FactsAt(query.directory);
  auto space = SpaceOf(query.directory);
  status.writable = facts && (facts.value().mode & S_IWUSR) != 0 && space && !space.value().readOnly;
  if (space) status.freeBytes = space.value().availableBytes;
  if (known && known->spoolTroubleAt) {
    status.spoolTroubleAt = known->spoolTroubleAt;
    status.spoolTrouble = known->spoolTrouble;
  }
}

void Judge(RelayStatus& status, Health health, const std::string& problem) {
  status.health = std::max(status.health, health);
  status.problems.push_back(problem);
}

std::string Minutes(int32_t minutes) { return AgeText(0, static_cast<std::time_t>(minutes) * 60); }

void JudgeAge(RelayStatus& status, const Settings& settings) {
  if (!status.oldestAge) return;
  const std::string age = "the oldest message has waited " + AgeText(0, *status.oldestAge);
  if (settings.CriticalAfter > 0 && *status.oldestAge > int64_t(settings.CriticalAfter) * 60) {
    Judge(status, Health::Critical, age + " (CriticalAfter " + Minutes(settings.CriticalAfter) + ")");
  } else if (settings.WarnAfter > 0 && *status.oldestAge > int64_t(settings.WarnAfter) * 60) {
    Judge(status, Health::Warning, age + " (WarnAfter " + Minutes(settings.WarnAfter) + ")");
  }
}

void JudgeAccounts(RelayStatus& status) {
  for (const AccountReport& account : status.accounts) {
    const std::string of = "account " + account.name + ": ";
    if (account.signIn == "expired") Judge(status, Health::Warning, of + "its sign-in must be made again");
    if (account.signIn == "not-signed-in") Judge(status, Health::Warning, of + "not signed in");
    if (account.signIn == "unusable") Judge(status, Health::Warning, of + "its sign-in values name no provider");
    if (account.loginRefused) Judge(status, Health::Warning, of + "the next relay refused the login");
  }
}

void JudgeAll(RelayStatus& status, const Settings& settings) {
  if (!status.running) Judge(status, Health::Critical, "no Vellomar runs from " + status.folder);
  if (!status.writable) Judge(status, Health::Critical, "the spool folder cannot be written");
  if (status.freeBytes && *status.freeBytes < kSpoolFullBelow) Judge(status, Health::Critical, "the spool's disk is full");
  if (status.spoolTroubleAt && status.time - *status.spoolTroubleAt < kSpoolTroubleShown) {
    Judge(status, Health::Critical, status.spoolTrouble);
  }
  JudgeAge(status, settings);
  JudgeAccounts(status);
}

}  // namespace

RelayStatus GatherStatus(const StatusQuery& query, const Settings& settings) {
  RelayStatus status;
  status.folder = query.folder;
  status.time = query.now;
  auto listed = ListDirectory(query.directory);
  if (!listed) return UnreadableStatus(query.folder, query.now, SystemErrorText(listed.failure()));
  Holder holder = LockHolder(Path(query, "vellomar.lock"));
  std::optional<RelayStatusFile> known = RelayKnows(query, holder);
  status.running = holder.held;
  status.pid = holder.pid;
  if (known) {
    status.since = known->started;
    status.ports = known->ports;
  }
  LookAtSpool(status, query, known);
  const Pacer pacer(Path(query, kPacingFile));
  status.accounts.push_back(ReportOf(AccountLabel(nullptr), settings, settings, query, known, pacer));
  for (const Account& account : settings.Accounts) {
    status.accounts.push_back(ReportOf(account.name, settings, *account.values, query, known, pacer));
  }
  CountMessages(status, ReadWaitingMessages(query.directory), settings, known, pacer);
  status.log = LogTail(Path(query, "logfile"));
  JudgeAll(status, settings);
  return status;
}

RelayStatus UnreadableStatus(const std::string& folder, std::time_t now, const std::string& why) {
  RelayStatus status;
  status.folder = folder;
  status.time = now;
  status.unreadable = why;
  status.health = Health::Unknown;
  status.problems.push_back("can't read " + folder + ": " + why);
  return status;
}

}  // namespace vellomar
