#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "spool/waiting_message.h"

namespace vellomar {

// The waiting spool files of `directory` (regular "*.tml" files), read without changing them,
// in name order. A file that cannot be read (delivered meanwhile) is left out.
std::vector<WaitingMessage> ReadWaitingMessages(const std::string& directory);

// "45s", "12m", "3h 05m", "6d 02h"; "-" when the arrival is unknown.
std::string AgeText(std::optional<std::time_t> arrival, std::time_t now);

// "<a@x> pending, <b@y> deferred 2 times".
std::string RecipientsText(const std::vector<WaitingRecipient>& recipients);

// The name of the account that sends a message from `sender`; the relay's settings know it.
using AccountLabeller = std::function<std::string(const std::string& sender)>;

// The queue as a text table: a heading row, then one row per message (file, age, sender, its
// account when `accountOf` is given, subject, recipients with their states), columns padded to
// their widest cell; a last line counts the messages.
std::string QueueTable(const std::vector<WaitingMessage>& messages, std::time_t now,
                       const AccountLabeller& accountOf = {});

}  // namespace vellomar
