#pragma once

#include <cstddef>

#include "common/settings.h"
#include "common/text.h"

namespace vellomar {

// Microsoft Graph takes at most 4 MB of request body in one sendMail call, and the message
// goes in it as base64: 4 bytes for every 3. Reception refuses a larger message for an
// account that sends through Graph, so that none is accepted that could never leave; room is
// kept for the Bcc: field and the From: rewrite added on the way out.
inline constexpr size_t kGraphLargestRequest = 4 * 1024 * 1024;
inline constexpr size_t kGraphLargestMime = kGraphLargestRequest / 4 * 3;
inline constexpr size_t kGraphLargestMessage = kGraphLargestMime - 64 * 1024;

// Whether an account's mail leaves through Microsoft Graph (`Transport=graph`): its route is
// then the one hop to the service, every pending recipient of a message goes in one call, and
// reception holds its messages to Graph's size.
inline bool SendsThroughGraph(const Settings& account) { return EqualsIgnoreCase(account.Transport, "graph"); }

}  // namespace vellomar
