#pragma once

#include <iosfwd>

namespace vellomar {

// `vellomar --sign-in [--device]`: signs in to the provider the settings name (SMTP_OAuth and
// the rest, SMTP_User the mailbox) and keeps the refresh token where the relay of the same
// folder finds it, then tells that relay, when one runs, to read it (SIGUSR2). In a browser on
// this machine (the address printed, the answer taken on a loopback port), or with a code
// entered on another device: with `device`, when the provider offers no browser sign-in, or
// when there is no display here. The exit status: 0 signed in, 1 not.
// An app-only sign-in has nothing to sign in: it says so and points to the check.
int SignInCommand(bool device, const std::string& accountName, std::ostream& out, std::ostream& err);

// `vellomar --sign-in --check [--account NAME]`: gets one access token with the sign-in as it
// stands (an app-only sign-in's credentials; a person's kept sign-in) and says whether that
// worked, never printing the token. When it works and a relay runs from the same folder, that
// relay is told to try its sign-ins again (a credential mended at the provider is used at
// once). The exit status: 0 it works, 1 not.
int SignInCheckCommand(const std::string& accountName, std::ostream& out, std::ostream& err);

}  // namespace vellomar
