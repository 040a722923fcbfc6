#pragma once

#include <memory>

#include "delivery/transport.h"

namespace vellomar {

// SMTP, the one engine for every delivery to a next relay, an exchanger or the alternate
// server. It replays the stored dialogue line by line over a connection that is either new
// (each of the server's addresses in turn, see AddressRace; greeted with the stored HELO line,
// or with EHLO, STARTTLS and the login when the hop's security asks for them) or a session
// kept open by an earlier message to the same next relay, and reads a whole reply after each
// command. The recipients zone becomes the delivery's recipients, one RCPT each with its
// letter sent as 'R', each settled by its own reply; the reply to the end of the data settles
// those it took, whose letters are on disk before anything more goes out. A connection that is
// not kept ends with the stored QUIT line after the data, and without QUIT after a refusal, as
// the stored dialogue is replayed for one recipient at a time; a session that is kept (to a
// next relay taking several messages per connection, see RelaySessions) is made ready for the
// next message with RSET after a refusal. At most the hop's cap of connections is open at once.
std::unique_ptr<Transport> MakeSmtpTransport(const TransportContext& context);

}  // namespace vellomar
