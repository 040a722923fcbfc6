#pragma once

#include "common/version.h"

// The project's own addresses and credits, as the About dialog shows them.
namespace vellomar {

inline constexpr const char* kVersion = VELLOMAR_VERSION;
inline constexpr const char* kCredits = "the Vellomar developers";
inline constexpr const char* kMailAddress = "mailto:developers@vellomar.example";
inline constexpr const char* kWebsite = "https://vellomar.example/";
inline constexpr const char* kForums = "https://vellomar.example/forums/";

}  // namespace vellomar
