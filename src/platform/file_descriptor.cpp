#include "platform/file_descriptor.h"

#include <unistd.h>

namespace vellomar {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    (void)Close();  // replaced descriptors are dropped, as the destructor does
    fd_ = other.Release();
  }
  return *this;
}

// Writers that must know their data landed call Close() themselves before this.
FileDescriptor::~FileDescriptor() { (void)Close(); }

int FileDescriptor::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

Status FileDescriptor::Close() {
  if (fd_ < 0) return Ok();
  int fd = Release();
  // close() must not be retried on EINTR under Linux: the descriptor is already gone.
  if (::close(fd) != 0 && errno != EINTR) return FailWith(errno);
  return Ok();
}

}  // namespace vellomar
