#pragma once

#include <chrono>
#include <string>

#include "delivery/next_relay_security.h"
#include "delivery/reply_reader.h"
#include "platform/connection.h"

namespace vellomar {

class StopFlag;

// Where the opening of an ESMTP session left the connection.
struct OpeningResult {
  enum class Kind {
    Ready,    // greeted, protected and logged in as asked: the replay goes on from the MAIL line
    UseHelo,  // EHLO refused where that is allowed: the replay starts with the stored HELO line
    Fault,    // a configuration fault: `text` is the log line; the recipient stays pending
    Reply,    // a reply to judge like any reply to a command: `text` answered `sent`
    NoReply,  // the connection was lost or the server fell silent
    // Under May without a login, the handshake after STARTTLS failed (`text` is why, as a
    // log line): the connection is lost, but a new one in the clear may carry the message.
    ClearOnly,
    // The login waits for something already reported once (a sign-in to renew): the recipient
    // stays pending and the waiting view shows `text` (a log line), which is not logged again.
    Waiting,
  };
  Kind kind = Kind::Ready;
  std::string text;
  std::string sent;
  // A Fault that is the server refusing the login itself (a 5xx to AUTH), not the way to it.
  bool loginRefused = false;
  // What the last EHLO reply offered of the MAIL parameters the replay may add.
  bool offersSize = false;
  bool offers8BitMime = false;
};

// The steps between the greeting and the envelope: EHLO with `heloDomain`, STARTTLS when
// `security` asks for it or (under May) the server offers it, EHLO again, and the login.
// Credentials go out only over TLS, unless TLS was turned off explicitly. `server` names the
// server in log lines. Each reply is awaited at most `wait`; `stop` ends a password command.
OpeningResult OpenSession(Connection& connection, ReplyReader& replies, const std::string& heloDomain,
                          const NextRelaySecurity& security, const std::string& server,
                          std::chrono::milliseconds wait, const StopFlag& stop);

// The log line for a handshake that gave no trusted stream.
std::string TlsFaultLine(const TlsOutcome& outcome, const std::string& server);

// The domain of a stored HELO line ("HELO client.example\r\n" gives "client.example").
std::string HeloDomain(const std::string& heloLine);

}  // namespace vellomar
