// STARTTLS: the rest of the connection under TLS, the dialogue begun afresh.
#include "platform/tls_stream.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

CommandOutcome HandleStartTls(Session& session, std::string_view argument) {
  if (!argument.empty()) return Refuse(session, "501 5.5.4 Syntax: STARTTLS\r\n");
  if (session.connection.IsEncrypted()) return Refuse(session, "503 5.5.1 TLS already active\r\n");
  if (!session.port.tls) return Refuse(session, "502 5.5.1 Command not implemented\r\n");
  if (!SendReply(session, "220 2.0.0 Ready to start TLS\r\n")) return CommandOutcome::Failed;
  // Whatever came in the clear behind STARTTLS was not protected, and must not pass for a
  // command the client sent under TLS (RFC 3207, 6).
  session.pending.clear();
  TlsOutcome outcome = session.connection.AcceptTls(*session.port.tls, session.limits.commandTime);
  if (!outcome.ok()) {
    session.relay.AppendLog("TLS handshake with " + session.clientAddress + " failed: " + outcome.reason);
    // Half a handshake: nothing more can be said to the client, in the clear or not.
    session.peerGone = true;
    return CommandOutcome::Failed;
  }
  // Nothing the client said in the clear holds any more (RFC 3207, 4.2): its login is gone
  // with the policy's TLS start, and it greets again; its first greeting is never stored.
  session.policy.TlsStarted();
  session.heloDomain.clear();
  session.state = Greeted;
  return CommandOutcome::Continue;
}

}  // namespace vellomar
