#pragma once

#include <string_view>

namespace vellomar {

// Letter case is ignored the way the protocol and the file names need it: A-Z against a-z,
// every other byte compared as it is, whatever the locale. Multibyte UTF-8 text is left
// intact, since no byte of a multibyte sequence is an ASCII letter.
char ToUpperAscii(char c);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace vellomar
