#pragma once

#include <string>

#include "common/shared_value.h"

namespace vellomar {

// A text one thread replaces while others read it.
using SharedText = SharedValue<std::string>;

}  // namespace vellomar
