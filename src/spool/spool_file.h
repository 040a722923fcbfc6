#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

class SpoolSync;

// One open spool file (or the notice template) as its readers and rewriters see it: reads go
// through a buffer, so a line costs no system call per byte, while positions stay exact. A
// seek within the buffered bytes keeps them, and a write within them goes to the file and
// the buffer alike; any other seek or write drops the buffer first, so a rewritten byte is
// what the next read sees.
// A seek, write or sync that fails is remembered (WriteFailed), so that whoever decides the
// file's fate at the end of a run keeps it as it is rather than trusting what it reads.
// Used by one thread at a time.
class SpoolFile {
 public:
  // A file is first read in a small buffer, since most mail is small and a busy relay has
  // many files open at once; one that fills it is read on in large pieces.
  static constexpr size_t kFirstBufferSize = 16 * 1024;
  static constexpr size_t kBufferSize = 64 * 1024;

  static ErrorOr<SpoolFile> Open(const std::string& path, int flags, mode_t mode = 0644);
  explicit SpoolFile(FileDescriptor fd);

  bool IsOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // The next buffered bytes, refilling from the file when none are left. Empty at the end
  // of the file or after a read error (ReadFailed() tells which).
  std::string_view Peek();
  void Consume(size_t count);
  bool ReadFailed() const { return readError_ != 0; }
  bool WriteFailed() const { return writeError_ != 0; }

  // The position of the next byte a read returns.
  off_t Tell() const { return filePos_ - static_cast<off_t>(end_ - start_); }
  [[nodiscard]] Status Seek(off_t position);
  [[nodiscard]] Status Rewind() { return Seek(0); }
  // Writes at Tell(); the position moves past what was written.
  Status Write(std::string_view data);
  ErrorOr<off_t> Length() const;
  // Bytes rewritten in place (a state letter) change neither the size nor the blocks, so
  // fdatasync makes them durable without a journal commit for the modification time; with a
  // shared sync, one sync covers the deliveries that finish together.
  Status SyncData();
  void ShareSyncs(SpoolSync& shared) { shared_ = &shared; }
  Status Close();

 private:
  void DropBuffer() { start_ = end_ = 0; }
  // Moves the kernel's offset, dropping the buffer.
  Status SeekFile(off_t position);

  FileDescriptor fd_;
  SpoolSync* shared_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = kFirstBufferSize;
  // The last read filled the buffer.
  bool filled_ = false;
  size_t start_ = 0;
  size_t end_ = 0;
  off_t filePos_ = 0;
  int readError_ = 0;
  int writeError_ = 0;
};

// The longest piece ReadLine() returns; a longer line comes in pieces of this size.
constexpr size_t kLinePieceSize = 1000;

// Reads one line into `line`: up to and including a line feed, or kLinePieceSize bytes, or
// what is left before the end of the file. True when the line ended on a byte read (a line
// feed or the size limit), false when the file ended first; `line` then holds what was read
// before the end, possibly nothing.
bool ReadLine(SpoolFile& file, std::string& line);

}  // namespace vellomar
