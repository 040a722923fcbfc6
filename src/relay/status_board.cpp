#include "relay/status_board.h"

#include <fcntl.h>

#include "platform/file_system.h"

namespace vellomar {

namespace {

using Kind = RelayEvent::Kind;

void Failure(AccountStatus& account, int64_t now, const std::string& reason) {
  account.lastFailure = now;
  account.lastFailureReason = reason;
}

}  // namespace

void StatusBoard::Begin(int64_t pid, int64_t started) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    record_.pid = pid;
    record_.started = started;
  }
  changed_.Notify();
}

void StatusBoard::Record(const RelayEvent& event, int64_t now) {
  if (event.kind == Kind::MailWaiting) return;  // the spool files tell it themselves
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (event.kind == Kind::SpoolTrouble) {
      record_.spoolTroubleAt = now;
      record_.spoolTrouble = event.reason;
    } else {
      AccountStatus& account = record_.accounts[event.account.empty() ? "default" : event.account];
      switch (event.kind) {
        case Kind::Delivered:
          account.lastSuccess = now;
          account.signInNeeded = account.loginRefused = false;
          break;
        case Kind::GivenUp:
          Failure(account, now, event.subject + ": " + event.reason);
          break;
        case Kind::SignInNeeded:
          account.signInNeeded = true;
          Failure(account, now, event.reason);
          break;
        case Kind::LoginRefused:
          account.loginRefused = true;
          Failure(account, now, event.reason);
          break;
        default:
          Failure(account, now, event.reason);
          break;
      }
    }
  }
  changed_.Notify();
}

void StatusBoard::ClearSignIns() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [name, account] : record_.accounts) account.signInNeeded = false;
  }
  changed_.Notify();
}

RelayStatusFile StatusBoard::Snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return record_;
}

Status StatusBoard::Write(const RelayStatusFile& status) {
  std::string text = StatusFileText(status);
  if (text == written_) return Ok();
  const std::string temporary = path_ + ".tmp";
  Status removed = RemoveFile(temporary);
  if (!removed && removed.error() != ENOENT) return removed;
  // Made afresh, never through a link: what the folder's owner alone may read stays so.
  auto file = OpenFile(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (!file) return FailWith(file.failure());
  Status written = WriteAll(file.value().get(), text.data(), text.size());
  Status closed = file.value().Close();
  if (written) written = closed;
  if (written) written = RenameFile(temporary, path_);
  if (!written) {
    (void)RemoveFile(temporary);  // gone already, or left for the next write to replace
    return written;
  }
  written_ = std::move(text);
  return Ok();
}

}  // namespace vellomar
