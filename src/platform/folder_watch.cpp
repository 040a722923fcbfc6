#include "platform/folder_watch.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

namespace vellomar {

ErrorOr<FileDescriptor> WatchFolderArrivals(const std::string& folder) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  FileDescriptor watch(fd);
  if (::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    return ErrorOr<FileDescriptor>::Fail(errno);
  }
  return watch;
}

void DrainFolderEvents(int watch) {
  alignas(inotify_event) char buffer[4096];
  while (::read(watch, buffer, sizeof buffer) > 0) {
  }
}

ErrorOr<FileDescriptor> CreateEventCounter() {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  return FileDescriptor(fd);
}

void PostEvent(int counter) {
  uint64_t one = 1;
  // Fails only when the count is at its maximum, which wakes the reader all the same.
  (void)!::write(counter, &one, sizeof one);
}

void ClearEvent(int counter) {
  uint64_t count;
  // Fails with EAGAIN when nothing was posted: already clear.
  (void)!::read(counter, &count, sizeof count);
}

}  // namespace vellomar
