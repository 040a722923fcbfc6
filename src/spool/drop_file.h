#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

// A message a local program handed over (vellomar-sendmail), waiting in a drop folder for the
// relay to take it in. The file is
//
//   Vellomar-Drop: 1
//   Size: <the data's length, 20 digits>
//   Sender: <address>           only when the user gave one; empty for the null sender
//   Full-Name: <text>           only when the user gave one
//   Recipient: <address>        one line per recipient, as given (bare names included)
//   <empty line>
//   <the message, exactly as the program gave it>
//
// each envelope line ending in LF. It is written under a temporary name, its size filled
// in, synced, made readable by the folder's group, and only then renamed to its final name
// and the folder synced: a file under a final name is complete. The names hold 128 random
// bits, so that in the system's write-only folder nobody finds another's message. Who handed
// it over is not written in it: the relay takes that from the file's owner, which the user
// cannot choose.
struct DropEnvelope {
  // Given with -f (or a MAIL command of -bs); otherwise the relay makes it from the user.
  bool senderGiven = false;
  std::string sender;
  std::string fullName;
  std::vector<std::string> recipients;
};

// "msg.<32 hex digits>" and "tmp.<32 hex digits>".
bool IsDropName(std::string_view name);
bool IsDropTemporaryName(std::string_view name);

// Writes one handed-over message into a drop folder. The temporary file is removed on every
// way out but Finish. Used by one thread.
class DropWriter {
 public:
  DropWriter() = default;
  ~DropWriter();
  DropWriter(DropWriter&& other) noexcept;
  DropWriter& operator=(DropWriter&&) = delete;
  DropWriter(const DropWriter&) = delete;

  // Creates the temporary file (exclusively) and writes the envelope. EINVAL when a field
  // would not stay one line.
  static ErrorOr<DropWriter> Create(const std::string& folder, const DropEnvelope& envelope);
  // The temporary file's path, for a signal handler that must remove it.
  const std::string& temporaryPath() const { return temporary_; }
  [[nodiscard]] Status Append(std::string_view data);
  // Size filled in, mode 0640, synced, renamed to a final name never taken, folder synced.
  [[nodiscard]] Status Finish();
  // The final name, once finished.
  const std::string& name() const { return name_; }

 private:
  std::string folder_;
  std::string temporary_;
  std::string name_;
  FileDescriptor file_;
  off_t sizeAt_ = 0;
  uint64_t size_ = 0;
};

// What the relay reads of a dropped file before its message: the envelope, where the data
// begins and how long it is. EBADMSG when the file is not one (incomplete, damaged, or made
// by hand); the position is then anywhere.
struct DropReading {
  DropEnvelope envelope;
  off_t dataStart = 0;
  off_t dataSize = 0;
};
ErrorOr<DropReading> ReadDropEnvelope(int fd);

}  // namespace vellomar
