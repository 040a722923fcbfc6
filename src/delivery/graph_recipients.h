#pragma once

#include <string>
#include <utility>
#include <vector>

#include "delivery/transport.h"

namespace vellomar {

// Whom a message is to reach through Microsoft Graph, which sends to whom the header names
// rather than to an envelope: the pending recipients set against the header's To:, Cc: and
// Bcc: fields. Addresses are compared without regard to case and go out as the envelope
// spells them.
struct GraphRecipients {
  // The pending recipients, each once, in the envelope's order.
  std::vector<std::string> pending;
  // Someone the header names who is not a pending recipient ("" when none): the message must
  // then go with its recipient lists set one by one, or it would reach them too.
  std::string stranger;
  // Those lists: the header's To: and Cc: that are pending, and every other pending recipient.
  std::vector<std::string> to, cc, bcc;
  // The pending recipients the header leaves out, as a Bcc: field to put before the header for
  // a call that sends to the header's recipients ("" when none).
  std::string addedBcc;
};

GraphRecipients RecipientsFor(const std::string& header, const std::vector<PendingRecipient>& recipients);

// The body of the call that sets a draft's recipients to those lists:
// {"toRecipients":[{"emailAddress":{"address":...}}, ...], "ccRecipients":[...], "bccRecipients":[...]};
// without `saveToSent`, with the draft marked to be deleted once it is sent (Exchange's
// PidTagDeleteAfterSubmit, 0x0E01), so that no copy stays in the mailbox's Sent Items.
std::string RecipientListsJson(const GraphRecipients& recipients, bool saveToSent = true);

// The header block (up to and including its empty line) and the body after it.
std::pair<std::string, std::string> SplitHeader(const std::string& data);

}  // namespace vellomar
