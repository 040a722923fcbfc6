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

Status Connection::Send(std::string_view data, std::chrono::milliseconds wait) {
  if (tls_) return tls_->Send(data, wait);
  // One limit for the whole: a peer that takes a few bytes now and then must not stretch it.
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (!data.empty()) {
    auto sent = SendWhatFits(fd_.get(), data.data(), data.size());
    if (sent) {
      data.remove_prefix(sent.value());
      continue;
    }
    if (sent.error() != EAGAIN && sent.error() != EWOULDBLOCK) return FailWith(sent.failure());
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return FailWith(ETIMEDOUT);
    auto writable = WaitWritable(fd_.get(), static_cast<int>(left.count()));
    if (!writable) return FailWith(writable.failure());
    if (!writable.value()) return FailWith(ETIMEDOUT);
  }
  return Ok();
}

TlsOutcome Connection::StartTls(const TlsPeerCheck& check, std::chrono::milliseconds wait) {
  return TlsStream::Connect(fd_.get(), check, wait, tls_);
}

TlsOutcome Connection::AcceptTls(const TlsServerContext& context, std::chrono::milliseconds wait) {
  return TlsStream::Accept(fd_.get(), context, wait, tls_);
}

void Connection::Unwatch() {
  if (watcher_ != nullptr) watcher_->UnwatchSocket();
  watcher_ = nullptr;
}

void Connection::Rewatch() {
  Unwatch();
  if (!fd_.valid()) return;
  watcher_ = ThreadHandle::Current();
  // A thread cancelled already has the socket shut down: the next wait on it fails at once.
  if (watcher_ != nullptr) (void)watcher_->WatchSocket(fd_.get());
}

void Connection::Close() {
  tls_.reset();
  Unwatch();
  (void)fd_.Close();  // a socket's close result tells nothing about delivered data
}

}  // namespace vellomar
