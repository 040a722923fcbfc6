#include "relay/drop_intake.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>

#include "common/header_date.h"
#include "common/local_names.h"
#include "common/system_error.h"
#include "delivery/failure_notice.h"
#include "platform/file_system.h"
#include "platform/folder_watch.h"
#include "platform/socket.h"
#include "platform/thread_tracker.h"
#include "platform/users.h"
#include "smtp_server/mail_path.h"
#include "spool/drop_file.h"
#include "spool/message_text.h"
#include "spool/message_writer.h"
#include "spool/relay_services.h"
#include "spool/trace_fields.h"

namespace vellomar {

namespace {

constexpr size_t kChunk = 64 * 1024;
// A temporary file this old was left by a program that was killed while handing a message
// over; nobody will finish it.
constexpr int64_t kAbandonedAfterSeconds = 24 * 60 * 60;
// Looked through at least this often, should the watch be missing.
constexpr int kPassEveryMs = 60 * 1000;

// Who handed a message over: the file's owner, by id and name.
struct Handler {
  uid_t uid = 0;
  std::string login;
  std::string fullName;
  std::string Describe() const {
    return "uid " + std::to_string(uid) + (login.empty() ? "" : " (" + login + ")");
  }
};

Handler HandlerOf(uid_t uid) {
  Handler handler;
  handler.uid = uid;
  if (auto account = AccountOf(uid)) {
    handler.login = account->login;
    handler.fullName = account->fullName;
  }
  return handler;
}

// A login that is no plain local part cannot stand as a sender.
std::string SenderName(const Handler& handler) {
  bool plain = !handler.login.empty() && IsPathMailbox(handler.login) && handler.login.find('@') == std::string::npos;
  return plain ? handler.login : "uid" + std::to_string(handler.uid);
}

std::string TraceHeader(RelayServices& relay, const Handler& handler, const std::string& spoolName,
                        const std::vector<std::string>& recipients) {
  std::string id = spoolName.substr(0, spoolName.find('.'));
  // One recipient only: with several, the header would show each the others (Bcc among them).
  std::string forClause = recipients.size() == 1 ? " for <" + recipients[0] + ">" : "";
  return "Received: by " + relay.localHostName.Get() + " (Vellomar sendmail, from " + handler.Describe() +
         ")\r\n\tid " + id + forClause + "; " + HeaderDate(relay.LocalNow()) + "\r\n";
}

struct Envelope {
  std::string sender;
  std::vector<std::string> recipients;
  // Recipients the aliases cannot serve, with why.
  std::vector<std::pair<std::string, std::string>> refused;
};

Envelope Resolve(const DropEnvelope& given, const Handler& handler, const AliasTable& aliases,
                 const LocalNameRules& rules) {
  Envelope envelope;
  envelope.sender = ResolveSender(given.senderGiven ? given.sender : SenderName(handler), rules);
  for (const std::string& recipient : given.recipients) {
    Resolution resolved = ResolveRecipient(recipient, aliases, rules);
    if (!resolved.refusal.empty()) envelope.refused.emplace_back(recipient, resolved.refusal);
    for (const std::string& address : resolved.addresses) {
      if (std::none_of(envelope.recipients.begin(), envelope.recipients.end(),
                       [&](const std::string& known) { return known == address; })) {
        envelope.recipients.push_back(address);
      }
    }
  }
  return envelope;
}

// The message data, read from the drop file and stored as an SMTP client's would be; false
// when it could not be read or written (or a stop came), to be tried again.
bool CopyData(RelayServices& relay, MessageWriter& writer, int fd, off_t size) {
  MessageTextEncoder encoder;
  std::vector<char> buffer(kChunk);
  std::string data;
  for (off_t left = size; left > 0;) {
    auto got = ReadSome(fd, buffer.data(), static_cast<size_t>(std::min<off_t>(left, kChunk)));
    if (!got || got.value() == 0 || relay.StopOrCancelled()) return false;
    left -= static_cast<off_t>(got.value());
    data.clear();
    encoder.Feed(std::string_view(buffer.data(), got.value()), data);
    if (!writer.Data(data)) return false;
  }
  data.clear();
  encoder.Finish(data);
  return writer.Data(data).ok();
}

// Whether the message's header holds more trace fields than a message that is not going round
// a loop can have: vellomar-sendmail refuses such a message, but a drop file may be written by
// anything. Reads the header alone; an unreadable one is left for the copy to find.
bool TooManyHops(int fd, const DropReading& reading) {
  if (!SeekTo(fd, reading.dataStart)) return false;
  TraceFieldCounter traceFields;
  std::vector<char> buffer(kChunk);
  for (off_t left = reading.dataSize; left > 0 && !traceFields.TooMany() && !traceFields.headerEnded();) {
    auto got = ReadSome(fd, buffer.data(), static_cast<size_t>(std::min<off_t>(left, kChunk)));
    if (!got || got.value() == 0) return false;
    left -= static_cast<off_t>(got.value());
    traceFields.Feed(std::string_view(buffer.data(), got.value()));
  }
  return traceFields.TooMany();
}

// Stores one handed-over message as a spool file: its envelope resolved, its header mended,
// a trace header naming who handed it over. The spool file's name, or nothing when it must
// wait for a later pass; `subject` is set for the notices that may follow.
std::optional<std::string> StoreMessage(RelayServices& relay, int fd, const DropReading& reading,
                                        const Envelope& envelope, const LocalNameRules& rules,
                                        const Handler& handler, const std::string& dropName, std::string& subject) {
  MessageWriter writer(relay);
  const std::string& fullName = reading.envelope.fullName.empty() ? handler.fullName : reading.envelope.fullName;
  HeaderEdit edit{rules.localDomain, rules.localSender, envelope.sender, fullName, true,
                  HeaderDate(relay.LocalNow()), "<" + dropName.substr(4) + "@" + rules.localDomain + ">"};
  bool written = writer.Create() && writer.Greeting(rules.localDomain) && writer.Sender(envelope.sender);
  for (const std::string& recipient : envelope.recipients) written = written && writer.Recipient(recipient);
  if (!written) return std::nullopt;
  writer.EditHeader(std::move(edit));
  written = writer.BeginData(TraceHeader(relay, handler, writer.name(), envelope.recipients)) &&
            SeekTo(fd, reading.dataStart) && CopyData(relay, writer, fd, reading.dataSize);
  if (written && writer.headerEditor() != nullptr) subject = writer.headerEditor()->subject();
  if (!written || !writer.Commit()) return std::nullopt;
  return writer.name();
}

}  // namespace

DropIntake::DropIntake(RelayServices& relay, std::string folder) : relay_(relay), folder_(std::move(folder)) {
  auto counter = CreateEventCounter();
  if (counter) wake_ = std::move(counter.value());
}

void DropIntake::Wake() {
  if (wake_.valid()) PostEvent(wake_.get());
}

int DropIntake::Run(ThreadHandle& self) {
  int wake = wake_.get();
  StopFlag::Subscription stopping = relay_.stop().Subscribe([wake] { PostEvent(wake); });
  FileDescriptor watch;
  bool missingLogged = false;
  while (!relay_.StopOrCancelled() && !self.IsCancelled()) {
    if (!watch.valid()) {
      auto made = WatchFolderArrivals(folder_);
      if (made) {
        watch = std::move(made.value());
      } else if (!missingLogged && made.error() != ENOENT) {
        relay_.AppendLog("Error : can't watch the drop folder " + folder_ + ": " + SystemErrorText(made.failure()));
        missingLogged = true;
      }
    }
    (void)TakeInAll();  // what could not be taken now waits for the next pass
    std::vector<int> waits{wake};
    if (watch.valid()) waits.push_back(watch.get());
    auto woken = WaitAnyReadable(waits, kPassEveryMs);
    ClearEvent(wake);
    if (watch.valid()) DrainFolderEvents(watch.get());
    if (!woken) return 1;
  }
  return 0;
}

bool DropIntake::TakeInAll() {
  auto names = ListDirectory(folder_);
  if (!names) return true;
  std::sort(names.value().begin(), names.value().end());
  ForgetGone(names.value());
  for (const std::string& name : names.value()) {
    if (relay_.StopOrCancelled()) return false;
    if (IsDropName(name) && passedOver_.count(name) == 0) {
      if (GuardedTakeIn(name) == Outcome::Later) return false;
    } else if (IsDropTemporaryName(name)) {
      auto facts = FactsAt(folder_ + "/" + name);
      if (facts && std::time(nullptr) - facts.value().modifiedNs / 1000000000 > kAbandonedAfterSeconds &&
          RemoveFile(folder_ + "/" + name)) {
        relay_.AppendLog("Removed abandoned hand-over " + name);
      }
    }
  }
  return true;
}

void DropIntake::ForgetGone(const std::vector<std::string>& sortedNames) {
  auto gone = [&](const std::string& name) { return !std::binary_search(sortedNames.begin(), sortedNames.end(), name); };
  std::erase_if(unreadable_, gone);
  std::erase_if(passedOver_, gone);
}

DropIntake::Outcome DropIntake::Refuse(const std::string& name, const std::string& why) {
  const std::string path = folder_ + "/" + name;
  Status removed = RemoveFile(path);
  // A folder under a message's name goes when it is empty; what it holds is left alone.
  if (!removed && removed.error() == EISDIR) removed = RemoveDirectory(path);
  if (removed || removed.error() == ENOENT) {
    relay_.AppendLog("Error : handed-over message " + name + " refused (" + why + "), removed");
  } else {
    passedOver_.insert(name);
    relay_.AppendLog("Error : handed-over message " + name + " refused (" + why + "), and it cannot be removed: " +
                     SystemErrorText(removed.failure()) + "; passed over from now on");
  }
  return Outcome::Refused;
}

DropIntake::Outcome DropIntake::GuardedTakeIn(const std::string& name) {
  try {
    return TakeIn(name);
  } catch (...) {
    // Whatever the file holds, the folder's other files go on being taken in.
    passedOver_.insert(name);
    relay_.AppendLog("Error : handed-over message " + name + " set aside after an unexpected fault: " +
                     CurrentExceptionText());
    return Outcome::Left;
  }
}

DropIntake::Outcome DropIntake::TakeIn(const std::string& name) {
  const std::string path = folder_ + "/" + name;
  // Never a link (another user's file behind it), never blocking on a pipe left there.
  auto file = OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!file) {
    if (file.error() == ELOOP) return Refuse(name, "a symbolic link");
    // A folder the relay may not read, a socket: no file at all, whoever made it.
    auto facts = FactsAt(path);
    if (facts && !facts.value().regular) return Refuse(name, "not a file of its own");
    if (file.error() != ENOENT && unreadable_.insert(name).second) {
      relay_.AppendLog("Error : can't read handed-over message " + name + ": " + SystemErrorText(file.failure()));
    }
    return Outcome::Left;
  }
  int fd = file.value().get();
  auto facts = FactsOf(fd);
  if (!facts) return Outcome::Left;
  // A second link would let a user hand over someone else's file under that owner's id.
  if (!facts.value().regular || facts.value().links != 1) return Refuse(name, "not a file of its own");
  auto reading = ReadDropEnvelope(fd);
  if (!reading) return Refuse(name, "incomplete or damaged");
  const DropEnvelope& given = reading.value().envelope;
  bool valid = !given.recipients.empty() && (given.sender.empty() || IsPathMailbox(given.sender)) &&
               std::all_of(given.recipients.begin(), given.recipients.end(), IsPathMailbox);
  if (!valid) return Refuse(name, "an address a mail path cannot hold");
  if (TooManyHops(fd, reading.value())) return Refuse(name, "5.4.6 Too many hops, a mail loop");
  Handler handler = HandlerOf(facts.value().owner);

  auto settings = relay_.settings();
  LocalNameRules rules = relay_.localNames.RulesFor(*settings);
  auto aliases = relay_.localNames.AliasesFor(*settings);
  for (const std::string& problem : relay_.localNames.TakeProblems()) relay_.AppendLog("Aliases: " + problem);
  Envelope envelope = Resolve(given, handler, *aliases, rules);

  MailSummary summary;
  summary.sender = "<" + envelope.sender + ">\r\n";
  std::string stored, subject;
  if (!envelope.recipients.empty()) {
    std::optional<std::string> spooled =
        StoreMessage(relay_, fd, reading.value(), envelope, rules, handler, name, subject);
    if (!spooled) return Outcome::Later;
    stored = *spooled;
  }
  summary.subject = subject + "\r\n";
  if (Status removed = RemoveFile(path); !removed && removed.error() != ENOENT) {
    // Taken in again it would be delivered twice: passed over for the rest of this run.
    passedOver_.insert(name);
    relay_.AppendLog("Error : can't remove handed-over message " + name + " after taking it in: " +
                     SystemErrorText(removed.failure()));
  }
  relay_.AppendLog("Took in " + name + " from " + handler.Describe() + (stored.empty() ? "" : " as " + stored));
  for (const auto& [recipient, why] : envelope.refused) {
    relay_.AppendLog("Error : recipient <" + recipient + "> of " + name + " refused: " + why);
    (void)QueueFailureNotice(relay_, summary, why, "RCPT TO:<" + recipient + ">\r\n", name);  // logged when not written
  }
  return Outcome::TakenIn;
}

}  // namespace vellomar
