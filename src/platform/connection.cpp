#include "platform/connection.h"

#include "platform/socket.h"
#include "platform/thread_handle.h"

namespace vellomar {

void Connection::Open(FileDescriptor fd) {
  Close();
  fd_ = std::move(fd);
  watcher_ = ThreadHandle::Current();
  if (watcher_ != nullptr) watcher_->WatchSocket(fd_.get());
}

ErrorOr<size_t> Connection::Receive(char* buffer, size_t size, std::chrono::milliseconds wait) {
  auto readable = WaitReadable(fd_.get(), static_cast<int>(wait.count()));
  if (!readable) return ErrorOr<size_t>::Fail(readable.failure());
  if (!readable.value()) return ErrorOr<size_t>::Fail(ETIMEDOUT);
  return ReceiveSome(fd_.get(), buffer, size);
}

bool Connection::SendOnce(std::string_view data) {
  auto sent = vellomar::SendOnce(fd_.get(), data.data(), data.size());
  return sent && sent.value() == data.size();
}

void Connection::Close() {
  if (watcher_ != nullptr) watcher_->UnwatchSocket();
  watcher_ = nullptr;
  (void)fd_.Close();  // a socket's close result tells nothing about delivered data
}

}  // namespace vellomar
