#pragma once

#include <iosfwd>

namespace vellomar {

// `vellomar --sign-in [--device]`: signs in to the provider the settings name (SMTP_OAuth and
// the rest, SMTP_User the mailbox) and keeps the refresh token where the relay of the same
// folder finds it, then tells that relay, when one runs, to read it (SIGUSR2). In a browser on
// this machine (the address printed, the answer taken on a loopback port), or with a code
// entered on another device: with `device`, when the provider offers no browser sign-in, or
// when there is no display here. The exit status: 0 signed in, 1 not.
int SignInCommand(bool device, const std::string& accountName, std::ostream& out, std::ostream& err);

}  // namespace vellomar
