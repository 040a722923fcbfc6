#pragma once

#include "platform/error_or.h"

namespace vellomar {

// Owns one open descriptor. Move-only; the destructor closes what is still open, and
// Close() reports the result of close() for writers that must know their data landed.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  Status Close();

 private:
  int fd_ = -1;
};

}  // namespace vellomar
