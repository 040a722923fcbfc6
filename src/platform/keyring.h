#pragma once

#include <chrono>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

class StopFlag;

// The desktop keyring (the Secret Service, reached over the session's D-Bus through libsecret):
// one secret per `account` text, in the default collection, under this program's schema.
// Every call waits at most `wait` for the keyring and ends early when `stop` is set; it never
// opens a window of its own, but a keyring may ask its user to unlock it meanwhile.
//
// Errors: ENOENT no secret is kept for the account; ETIMEDOUT the keyring did not answer in
// time; ECANCELED the stop; EHOSTDOWN no keyring could be reached (no session bus, no service,
// a refusal, or libsecret, loaded at the first call, is not installed).
ErrorOr<std::string> KeyringLookup(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop);
// Replaces the secret kept for the account; `label` is what a keyring viewer shows for it.
Status KeyringStore(const std::string& account, const std::string& label, const std::string& secret,
                    std::chrono::milliseconds wait, const StopFlag& stop);
// Removes it; ENOENT when there was none.
Status KeyringClear(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop);

}  // namespace vellomar
