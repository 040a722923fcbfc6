#pragma once

#include <memory>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/tls_stream.h"
#include "smtp_server/relay_policy.h"

namespace vellomar {

class RelayServices;

// What the listener hands a session about the port its client came in on.
struct SessionPort {
  // The listener's TLS; null without a certificate.
  std::shared_ptr<const TlsServerContext> tls;
  // TLS from the first byte; otherwise STARTTLS is offered when `tls` is set.
  bool implicitTls = false;
};

// Starts the SMTP session of an accepted client that its policy let in, on a thread of its
// own that serves the connection from the greeting to its end and stores each message it
// accepts. Reserves the spool name the connection's first message takes, then starts the
// thread and registers it in the incoming registry under that name in one hold of the
// registry's lock, so that the session's first registry access finds its entry. False, with
// the socket closed and the name released, when no thread could start. Called on the
// listener's thread; the session's inside is this folder's own (session.h).
bool StartSession(RelayServices& relay, FileDescriptor accepted, std::string clientAddress, RelayPolicy policy,
                  SessionPort port = {});

}  // namespace vellomar
