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
  if (tls_) return tls_->Receive(buffer, size, wait);
  auto readable = WaitReadable(fd_.get(), static_cast<int>(wait.count()));
  if (!readable) return ErrorOr<size_t>::Fail(readable.failure());
  if (!readable.value()) return ErrorOr<size_t>::Fail(ETIMEDOUT);
  return ReceiveSome(fd_.get(), buffer, size);
}

bool Connection::SendOnce(std::string_view data) {
  auto sent = vellomar::SendOnce(fd_.get(), data.data(), data.size());
  return sent && sent.value() == data.size();
}

bool Connection::Send(std::string_view data, std::chrono::milliseconds wait) {
  if (tls_) return tls_->Send(data, wait);
  while (!data.empty()) {
    auto sent = vellomar::SendOnce(fd_.get(), data.data(), data.size());
    if (!sent || sent.value() == 0) return false;
    data.remove_prefix(sent.value());
  }
  return true;
}

TlsOutcome Connection::StartTls(const TlsPeerCheck& check, std::chrono::milliseconds wait) {
  return TlsStream::Connect(fd_.get(), check, wait, tls_);
}

void Connection::Close() {
  tls_.reset();
  if (watcher_ != nullptr) watcher_->UnwatchSocket();
  watcher_ = nullptr;
  (void)fd_.Close();  // a socket's close result tells nothing about delivered data
}

}  // namespace vellomar
