#pragma once

#include <string_view>

#include "common/text.h"

namespace vellomar {

// The marks every spool file carries, for the side that writes it and the sides that read it.

// The extension of a spool file's name; letter case does not matter when it is looked for.
inline constexpr std::string_view kSpoolExtension = ".tml";

// The end of a message's data: the line end before the end-of-data line, and that line.
inline constexpr std::string_view kEndOfDataMarker = "\r\n.\r\n";
// The end-of-data line alone, as a line of the file.
inline constexpr std::string_view kEndOfDataLine = kEndOfDataMarker.substr(2);

inline bool HasSpoolExtension(std::string_view name) {
  return name.size() >= kSpoolExtension.size() &&
         EqualsIgnoreCase(name.substr(name.size() - kSpoolExtension.size()), kSpoolExtension);
}

}  // namespace vellomar
