#pragma once

#include <optional>
#include <string>

namespace vellomar {

// Base64 as SMTP authentication uses it: the standard alphabet with '=' padding, no line
// breaks.
std::string Base64Encode(const std::string& bytes);
// Nothing when the text is not well-formed base64.
std::optional<std::string> Base64Decode(const std::string& text);

}  // namespace vellomar
