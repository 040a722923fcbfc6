#include "relay/waiting_watch.h"

#include "spool/spool_format.h"
#include "spool/waiting_message.h"

namespace vellomar {

std::optional<WaitingWatch::Known> WaitingWatch::Read(const std::string& name, const FileIdentity& identity) const {
  auto read = ReadWaitingMessage(directory_ + "/" + name, name);
  if (!read) return std::nullopt;  // delivered meanwhile
  const WaitingMessage& waiting = read.value();
  Known known{identity, {name, waiting.sender, "", 0}, false};
  // A notice has no trace header of its own: it waits since it was written.
  known.message.arrival = waiting.arrival.value_or(static_cast<std::time_t>(identity.madeNs / 1000000000));
  for (const WaitingRecipient& recipient : waiting.recipients) {
    if (recipient.state != 'X' && recipient.state != 'x') {
      known.message.recipient = recipient.address;
      break;
    }
  }
  return known;
}

std::vector<WaitingWatch::Message> WaitingWatch::Look(std::time_t now, std::chrono::seconds limit) {
  std::vector<Message> passed;
  auto names = ListDirectory(directory_);
  if (!names) return passed;
  std::map<std::string, Known> seen;
  for (const std::string& name : names.value()) {
    if (!HasSpoolExtension(name)) continue;
    auto identity = IdentityAt(directory_ + "/" + name);
    if (!identity || KindOf(directory_ + "/" + name) != EntryKind::Regular) continue;
    auto old = known_.find(name);
    if (old != known_.end() && old->second.identity == identity.value()) {
      seen.emplace(name, std::move(old->second));
    } else if (auto read = Read(name, identity.value()); read && !read->message.recipient.empty()) {
      // A file without a pending recipient is still being received (or is going): it is read
      // again at the next look.
      seen.emplace(name, std::move(*read));
    }
  }
  for (auto& [name, known] : seen) {
    if (known.told || now - known.message.arrival <= limit.count()) continue;
    known.told = true;
    passed.push_back(known.message);
  }
  known_ = std::move(seen);
  return passed;
}

std::vector<std::string> WaitingWatch::Names() const {
  std::vector<std::string> names;
  names.reserve(known_.size());
  for (const auto& [name, known] : known_) names.push_back(name);
  return names;
}

}  // namespace vellomar
