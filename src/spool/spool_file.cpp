#include "spool/spool_file.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system.h"
#include "spool/spool_sync.h"

namespace vellomar {

ErrorOr<SpoolFile> SpoolFile::Open(const std::string& path, int flags, mode_t mode) {
  auto fd = OpenFile(path, flags, mode);
  if (!fd) return ErrorOr<SpoolFile>::Fail(fd.failure());
  return SpoolFile(std::move(fd.value()));
}

SpoolFile::SpoolFile(FileDescriptor fd) : fd_(std::move(fd)), buffer_(new char[kFirstBufferSize]) {}

std::string_view SpoolFile::Peek() {
  if (start_ == end_ && fd_.valid()) {
    DropBuffer();
    if (filled_ && capacity_ < kBufferSize) {
      buffer_.reset(new char[kBufferSize]);
      capacity_ = kBufferSize;
    }
    auto got = ReadSome(fd_.get(), buffer_.get(), capacity_);
    if (!got) {
      readError_ = got.error();
      return {};
    }
    end_ = got.value();
    filled_ = end_ == capacity_;
    filePos_ += static_cast<off_t>(end_);
  }
  return std::string_view(buffer_.get() + start_, end_ - start_);
}

void SpoolFile::Consume(size_t count) { start_ += std::min(count, end_ - start_); }

Status SpoolFile::Seek(off_t position) {
  // A delivery goes back to the start of its file for every recipient, and to a recipient
  // line after each state letter: within the bytes read last, those are served again from
  // the buffer, without a seek and a read. The kernel's offset stays at the buffer's end.
  const off_t buffered = filePos_ - static_cast<off_t>(end_);
  if (end_ > 0 && position >= buffered && position <= filePos_) {
    start_ = static_cast<size_t>(position - buffered);
    return Ok();
  }
  // Nothing buffered and the kernel's offset already there (a seek just made).
  if (end_ == 0 && position == filePos_ && readError_ == 0 && writeError_ == 0) return Ok();
  return SeekFile(position);
}

Status SpoolFile::SeekFile(off_t position) {
  DropBuffer();
  auto at = SeekTo(fd_.get(), position);
  if (!at) {
    writeError_ = at.error();
    return FailWith(at.failure());
  }
  filePos_ = at.value();
  return Ok();
}

Status SpoolFile::Write(std::string_view data) {
  if (!data.empty() && data.size() <= end_ - start_) {
    // A rewrite within the buffered bytes (a state letter): written at its position, the
    // kernel's offset left at the buffer's end, and the buffer given the same bytes, so that
    // the lines read next come from memory and still show what was written.
    const off_t at = Tell();
    Status written = WriteAllAt(fd_.get(), data.data(), data.size(), at);
    if (!written) {
      writeError_ = written.error();
      (void)SeekFile(at);  // already failed and remembered; reads go on from the write's start
      return written;
    }
    std::memcpy(buffer_.get() + start_, data.data(), data.size());
    start_ += data.size();
    return written;
  }
  if (start_ != end_) {
    Status moved = SeekFile(Tell());
    if (!moved) return moved;
  }
  DropBuffer();
  Status written = WriteAll(fd_.get(), data.data(), data.size());
  if (!written) writeError_ = written.error();
  // After a short write the kernel's offset is the truth, not our count.
  auto at = SeekTo(fd_.get(), 0, SEEK_CUR);
  if (at) filePos_ = at.value();
  return written;
}

ErrorOr<off_t> SpoolFile::Length() const { return FileLength(fd_.get()); }

Status SpoolFile::SyncData() {
  Status synced = shared_ ? shared_->Sync(fd_.get(), SpoolSync::Need::Data) : SyncFileData(fd_.get());
  if (!synced) writeError_ = synced.error();
  return synced;
}

Status SpoolFile::Close() {
  DropBuffer();
  return fd_.Close();
}

bool ReadLine(SpoolFile& file, std::string& line) {
  line.clear();
  while (line.size() < kLinePieceSize) {
    std::string_view available = file.Peek();
    if (available.empty()) return false;
    size_t room = std::min(available.size(), kLinePieceSize - line.size());
    const void* feed = std::memchr(available.data(), '\n', room);
    size_t take = feed ? static_cast<const char*>(feed) - available.data() + 1 : room;
    line.append(available.data(), take);
    file.Consume(take);
    if (feed) return true;
  }
  return true;
}

}  // namespace vellomar
