#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "platform/tls_stream.h"

namespace vellomar {

class ThreadHandle;

// A socket owned by one relay thread and watched by that thread's cancel hook while it is
// open, so that a cancel makes any wait on it return at once. Closing unwatches first, so a
// late cancel never reaches a descriptor number that has been reused.
class Connection {
 public:
  Connection() = default;
  explicit Connection(FileDescriptor fd) { Open(std::move(fd)); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { Close(); }

  // Takes the socket over (closing one held before) and starts watching it.
  void Open(FileDescriptor fd);
  bool IsOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // Waits at most `wait` for data, then receives at most `size` bytes. 0 means the peer
  // closed the connection; ETIMEDOUT that nothing came in time.
  ErrorOr<size_t> Receive(char* buffer, size_t size, std::chrono::milliseconds wait);
  // One send call; true only when all of `data` went out.
  bool SendOnce(std::string_view data);
  // Sends all of `data` within `wait`, through TLS once it is up; ETIMEDOUT when the peer did
  // not take it all in time, however little it kept taking. After a failure the bytes that
  // went out are unknown, so nothing more may follow on this connection.
  Status Send(std::string_view data, std::chrono::milliseconds wait);
  // Puts TLS under everything that follows; Receive and Send go through it from then on.
  TlsOutcome StartTls(const TlsPeerCheck& check, std::chrono::milliseconds wait);
  // The server side of the same: the listener's handshake with its client.
  TlsOutcome AcceptTls(const TlsServerContext& context, std::chrono::milliseconds wait);
  bool IsEncrypted() const { return tls_ != nullptr; }
  // The version in use ("TLSv1.3"); empty in the clear.
  std::string TlsVersionText() const { return tls_ ? tls_->Version() : std::string(); }
  void Close();
  // A connection kept open for another thread: the calling thread's cancel hook lets it go,
  // and the next one to use it takes it over with Rewatch.
  void Unwatch();
  void Rewatch();

 private:
  FileDescriptor fd_;
  std::unique_ptr<TlsStream> tls_;
  ThreadHandle* watcher_ = nullptr;
};

}  // namespace vellomar
