#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/thread_handle.h"
#include "platform/tls_stream.h"

namespace vellomar {

class RelayServices;

// The refusals of a port that speaks TLS from the first byte: the client is owed its
// handshake before it can read anything, the reason for the refusal included (the ban's 421,
// "554 5.7.1 Access denied"). Each is said on a thread of its own, so that a slow handshake
// never holds the listener; at most kMostAtOnce at a time, any more closed without a word, as
// is a client whose handshake fails.
//
// Owned by the listener's thread and used by it alone; no lock. Its threads are the relay's
// own, and are cancelled when it goes, so none outlives the listener by more than a moment.
class TlsRefusals {
 public:
  static constexpr size_t kMostAtOnce = 16;

  TlsRefusals(RelayServices& relay, std::shared_ptr<const TlsServerContext> tls) : relay_(relay), tls_(std::move(tls)) {}
  ~TlsRefusals();
  TlsRefusals(const TlsRefusals&) = delete;
  TlsRefusals& operator=(const TlsRefusals&) = delete;

  // Shakes hands with the client, says `reply` under TLS and closes.
  void Refuse(FileDescriptor socket, std::string_view reply);

 private:
  RelayServices& relay_;
  const std::shared_ptr<const TlsServerContext> tls_;
  std::vector<std::shared_ptr<ThreadHandle>> running_;
};

}  // namespace vellomar
