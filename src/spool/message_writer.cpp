#include "spool/message_writer.h"

#include <fcntl.h>

#include <climits>

#include "common/system_error.h"
#include "platform/file_system.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr std::string_view kDataLine = "DATA\r\n";
constexpr std::string_view kQuitLine = "QUIT\r\n";

// A control character would end a stored line early or hide another one in it; the tab is a
// blank like any other.
bool StaysOneLine(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
  }
  return true;
}

// Delivery reads an address back as the text between the line's brackets.
bool IsStorableAddress(std::string_view address) {
  return StaysOneLine(address) && address.find_first_of("<>") == std::string_view::npos;
}

}  // namespace

MessageWriter::MessageWriter(RelayServices& relay, std::string reservedName)
    : relay_(relay), name_(std::move(reservedName)), nameHeld_(!name_.empty()) {}

int32_t MessageWriter::length() const { return length_ > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length_); }

Status MessageWriter::Create() {
  if (!nameHeld_) {
    name_ = relay_.queue.NewSpoolName(true);
    nameHeld_ = true;
  }
  length_ = 0;
  editor_.reset();
  // The name was checked free in the queue list and the folder: a file there now belongs to
  // someone else and is left alone.
  auto file = OpenFile(relay_.FilePath(name_), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!file) {
    relay_.AppendLog("Error : can't create spool file " + name_ + ": " + SystemErrorText(file.failure()));
    if (file.error() != EEXIST) {
      relay_.ReportEvent({.kind = RelayEvent::Kind::SpoolTrouble,
                          .reason = "can't create a spool file in " + relay_.directory() + ": " + SystemErrorText(file.failure())});
    }
    relay_.ShowSystemError(file.failure());
    return FailWith(file.failure());
  }
  file_ = std::move(file.value());
  created_ = true;
  return Ok();
}

Status MessageWriter::Greeting(std::string_view domain) {
  if (!StaysOneLine(domain)) return FailWith(EINVAL);
  greetingLine_ = "HELO " + std::string(domain) + "\r\n";
  return created_ ? RollBack() : Ok();
}

Status MessageWriter::Sender(std::string_view address) {
  if (!IsStorableAddress(address)) return FailWith(EINVAL);
  return Write("MAIL FROM:<" + std::string(address) + ">\r\n");
}

Status MessageWriter::Recipient(std::string_view address) {
  if (!IsStorableAddress(address)) return FailWith(EINVAL);
  return Write("RCPT TO:<" + std::string(address) + ">\r\n");
}

Status MessageWriter::BeginData(std::string_view traceHeader) {
  return Write(std::string(kDataLine) + std::string(traceHeader));
}

Status MessageWriter::Data(std::string_view data) {
  if (editor_ == nullptr) return Write(data);
  edited_.clear();
  editor_->Feed(data, edited_);
  return Write(edited_);
}

void MessageWriter::EditHeader(HeaderEdit edit) { editor_ = std::make_unique<LocalHeaderEditor>(std::move(edit)); }

Status MessageWriter::RollBack() {
  editor_.reset();
  // A file just created is empty already.
  if (length_ > 0) {
    Status status = TruncateFile(file_.get(), 0);
    if (status) {
      auto at = SeekTo(file_.get(), 0);
      if (!at) status = FailWith(at.failure());
    }
    if (!Logged(status)) return status;
    length_ = 0;
  }
  return Write(greetingLine_);
}

Status MessageWriter::Commit() {
  Status status = Write(kQuitLine);
  if (!status) return status;
  // The file and its name, durable before the 250: one sync shared with the sessions and
  // deliveries that need one at the same moment.
  status = relay_.spoolSync.Sync(file_.get(), SpoolSync::Need::FileAndName);
  if (status) status = file_.Close();
  if (!Logged(status)) return status;
  created_ = false;
  editor_.reset();
  ++relay_.counters.receivedAll;
  ++relay_.counters.receivedOk;
  bool released = relay_.queue.Discard(name_, false);
  nameHeld_ = false;
  if (released) relay_.StartClient();
  return Ok();
}

void MessageWriter::Drop() {
  (void)file_.Close();  // the file is deleted or was never written; its close result is moot
  if (!nameHeld_) return;
  nameHeld_ = false;
  Status removed = Ok();
  if (created_) removed = RemoveFile(relay_.FilePath(name_));
  created_ = false;
  if (removed || removed.error() == ENOENT) {
    (void)relay_.queue.Discard(name_, false);  // the name alone: it cannot fail to go
    return;
  }
  relay_.AppendLog("Error : can't remove incomplete spool file " + name_ + ": " + SystemErrorText(removed.failure()));
}

Status MessageWriter::Write(std::string_view data) {
  Status status = WriteAll(file_.get(), data.data(), data.size());
  if (status) length_ += static_cast<off_t>(data.size());
  return Logged(status);
}

Status MessageWriter::Logged(Status status) {
  if (status) return status;
  const std::string why = "can't write spool file " + name_ + ": " + SystemErrorText(status.failure());
  relay_.AppendLog("Error : " + why);
  relay_.ReportEvent({.kind = RelayEvent::Kind::SpoolTrouble, .reason = why + " (in " + relay_.directory() + ")"});
  return status;
}

}  // namespace vellomar
