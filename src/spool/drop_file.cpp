#include "spool/drop_file.h"

#include <fcntl.h>

#include <charconv>
#include <cstdio>
#include <limits>

#include "platform/file_system.h"
#include "platform/random.h"

namespace vellomar {

namespace {

constexpr std::string_view kFirstLine = "Vellomar-Drop: 1\n";
constexpr std::string_view kSizeField = "Size: ";
constexpr size_t kSizeDigits = 20;
constexpr size_t kNameDigits = 32;
// The envelope of the largest message a relay takes in: ten thousand recipients of full length.
constexpr size_t kMaxEnvelope = 4 * 1024 * 1024;
constexpr int kNameAttempts = 16;

bool HasNameShape(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kNameDigits || name.substr(0, prefix.size()) != prefix) return false;
  for (char c : name.substr(prefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

ErrorOr<std::string> RandomName(std::string_view prefix) {
  unsigned char bytes[kNameDigits / 2];
  Status filled = FillRandom(bytes, sizeof bytes);
  if (!filled) return ErrorOr<std::string>::Fail(filled.failure());
  std::string name(prefix);
  for (unsigned char byte : bytes) {
    name += "0123456789abcdef"[byte >> 4];
    name += "0123456789abcdef"[byte & 15];
  }
  return name;
}

bool OneLine(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
  }
  return true;
}

// The size as written: exactly its digits, and no more than a file can hold. Anything else is
// no file of ours, whoever wrote it into the folder.
bool ParseSize(std::string_view value, off_t& size) {
  if (value.size() != kSizeDigits) return false;
  uint64_t parsed = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
  if (error != std::errc() || end != value.data() + value.size()) return false;
  if (parsed > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  size = static_cast<off_t>(parsed);
  return true;
}

std::string SizeText(uint64_t size) {
  char digits[kSizeDigits + 1];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(size));
  return digits;
}

}  // namespace

bool IsDropName(std::string_view name) { return HasNameShape(name, "msg."); }
bool IsDropTemporaryName(std::string_view name) { return HasNameShape(name, "tmp."); }

DropWriter::~DropWriter() {
  if (!temporary_.empty() && name_.empty()) (void)RemoveFile(temporary_);  // nothing else to do with a failure
}

DropWriter::DropWriter(DropWriter&& other) noexcept
    : folder_(std::move(other.folder_)),
      temporary_(std::move(other.temporary_)),
      name_(std::move(other.name_)),
      file_(std::move(other.file_)),
      sizeAt_(other.sizeAt_),
      size_(other.size_) {
  other.temporary_.clear();
}

ErrorOr<DropWriter> DropWriter::Create(const std::string& folder, const DropEnvelope& envelope) {
  std::string text(kFirstLine);
  text += std::string(kSizeField);
  off_t sizeAt = static_cast<off_t>(text.size());
  text += SizeText(0) + "\n";
  bool fit = OneLine(envelope.sender) && OneLine(envelope.fullName);
  if (envelope.senderGiven) text += "Sender: " + envelope.sender + "\n";
  if (!envelope.fullName.empty()) text += "Full-Name: " + envelope.fullName + "\n";
  for (const std::string& recipient : envelope.recipients) {
    fit = fit && OneLine(recipient) && !recipient.empty();
    text += "Recipient: " + recipient + "\n";
  }
  if (!fit) return ErrorOr<DropWriter>::Fail(EINVAL);
  text += "\n";
  DropWriter writer;
  writer.folder_ = folder;
  writer.sizeAt_ = sizeAt;
  for (int attempt = 0;; ++attempt) {
    auto name = RandomName("tmp.");
    if (!name) return ErrorOr<DropWriter>::Fail(name.failure());
    auto file = OpenFile(folder + "/" + name.value(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (file) {
      writer.temporary_ = folder + "/" + name.value();
      writer.file_ = std::move(file.value());
      break;
    }
    if (file.error() != EEXIST || attempt + 1 == kNameAttempts) return ErrorOr<DropWriter>::Fail(file.failure());
  }
  Status written = WriteAll(writer.file_.get(), text.data(), text.size());
  if (!written) return ErrorOr<DropWriter>::Fail(written.failure());
  return writer;
}

Status DropWriter::Append(std::string_view data) {
  Status written = WriteAll(file_.get(), data.data(), data.size());
  if (written) size_ += data.size();
  return written;
}

Status DropWriter::Finish() {
  std::string size = SizeText(size_);
  Status status = WriteAllAt(file_.get(), size.data(), size.size(), sizeAt_);
  // The system relay reads it through the folder's group, whatever the user's umask.
  if (status) status = SetDescriptorMode(file_.get(), 0640);
  if (status) status = SyncFile(file_.get());
  for (int attempt = 0; status && name_.empty(); ++attempt) {
    auto name = RandomName("msg.");
    if (!name) return FailWith(name.failure());
    Status renamed = RenameNoReplace(temporary_, folder_ + "/" + name.value());
    if (renamed) {
      name_ = name.value();
    } else if (renamed.error() != EEXIST || attempt + 1 == kNameAttempts) {
      status = renamed;
    }
  }
  if (!status) return status;
  // The name is the message's now: a failure to sync the folder leaves it there, complete, to
  // be taken in (or, after a crash that loses it, never acknowledged as anything but a failure).
  // A user cannot open the system's write-only folder to sync it; syncing the file system
  // that holds the file makes its new name as durable.
  Status synced = SyncDirectory(folder_);
  if (!synced && synced.error() == EACCES) synced = SyncFileSystem(file_.get());
  (void)file_.Close();  // written and synced already: a failing close loses nothing
  return synced;
}

ErrorOr<DropReading> ReadDropEnvelope(int fd) {
  auto fail = [] { return ErrorOr<DropReading>::Fail(EBADMSG); };
  auto length = FileLength(fd);
  if (!length) return ErrorOr<DropReading>::Fail(length.failure());
  std::string head;
  char buffer[8192];
  size_t end = std::string::npos;
  while ((end = head.find("\n\n")) == std::string::npos && head.size() < kMaxEnvelope) {
    auto got = ReadSome(fd, buffer, sizeof buffer);
    if (!got) return ErrorOr<DropReading>::Fail(got.failure());
    if (got.value() == 0) return fail();
    head.append(buffer, got.value());
  }
  if (end == std::string::npos || head.compare(0, kFirstLine.size(), kFirstLine) != 0) return fail();
  DropReading reading;
  std::string_view fields = std::string_view(head).substr(kFirstLine.size(), end + 1 - kFirstLine.size());
  bool sized = false;
  while (!fields.empty()) {
    std::string_view line = fields.substr(0, fields.find('\n'));
    fields.remove_prefix(line.size() + 1);
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos || !OneLine(line)) return fail();
    std::string_view name = line.substr(0, colon), value = line.substr(colon + 2);
    if (name == "Size" && !sized) {
      if (!ParseSize(value, reading.dataSize)) return fail();
      sized = true;
    } else if (name == "Sender") {
      reading.envelope.senderGiven = true;
      reading.envelope.sender = std::string(value);
    } else if (name == "Full-Name") {
      reading.envelope.fullName = std::string(value);
    } else if (name == "Recipient" && !value.empty()) {
      reading.envelope.recipients.emplace_back(value);
    } else {
      return fail();
    }
  }
  reading.dataStart = static_cast<off_t>(end + 2);
  if (!sized || reading.dataStart > length.value() || reading.dataSize != length.value() - reading.dataStart) return fail();
  return reading;
}

}  // namespace vellomar
