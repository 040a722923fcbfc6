#pragma once

#include "sendmail/hand_over.h"

namespace vellomar {

// -bs: an SMTP dialogue with the calling program over standard input and output, each
// message dropped as a -bm message is, and acknowledged with 250 only once it is on disk:
// HELO or EHLO, MAIL, RCPT, DATA, RSET, NOOP, VRFY and QUIT. Exit status 0 when the
// dialogue ended (QUIT, or the input's end between messages), 75 when the input ended or
// failed inside a message's data (which is then not queued).
int ServeSmtpOnStdio(const RelayPlace& place, MessageSource& input, int output, const std::string& hostName);

}  // namespace vellomar
