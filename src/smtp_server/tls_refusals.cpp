#include "smtp_server/tls_refusals.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "platform/connection.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// A refused client gets this long for its handshake and for taking the reply, at most.
constexpr std::chrono::milliseconds kMostWait{10000};

}  // namespace

TlsRefusals::~TlsRefusals() {
  for (const auto& thread : running_) thread->Cancel();
}

void TlsRefusals::Refuse(FileDescriptor socket, std::string_view reply) {
  std::erase_if(running_, [](const auto& thread) { return !thread->IsRunning(); });
  if (!tls_ || running_.size() >= kMostAtOnce) {
    (void)socket.Close();  // nothing can be said to it; the close is all
    return;
  }
  const std::chrono::milliseconds wait = std::min(relay_.timings.session.commandTime, kMostWait);
  // The thread's body is copied into it: the socket travels in a shared holder.
  auto held = std::make_shared<FileDescriptor>(std::move(socket));
  auto thread = relay_.threads().Start([tls = tls_, held, wait, text = std::string(reply)](ThreadHandle&) {
    // Watched by this thread's cancel hook from here on.
    Connection connection(std::move(*held));
    if (connection.AcceptTls(*tls, wait).ok()) (void)connection.Send(text, wait);  // the close follows either way
    return 0;
  });
  if (thread) running_.push_back(std::move(thread));
}

}  // namespace vellomar
