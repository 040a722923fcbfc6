#pragma once

#include <string>
#include <string_view>

#include "common/settings.h"

namespace vellomar {

// The account whose `Senders` take mail from `sender` (the envelope address, brackets
// optional): an account naming the address itself before one naming its domain ("*@domain"),
// and of those the first by name. None (the default account) for no match and for the empty
// sender of a failure notice, which every next relay must accept from its own account; none in true relaying.
const Account* AccountFor(const Settings& settings, std::string_view sender);

// The values a message from `sender` is sent with: its account's, else the settings themselves.
const Settings& AccountSettingsFor(const Settings& settings, std::string_view sender);

// The account's name for people: its section's name, "default" for the default account.
std::string AccountLabel(const Account* account);

}  // namespace vellomar
