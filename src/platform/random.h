#pragma once

#include <cstddef>

#include "platform/error_or.h"

namespace vellomar {

// getrandom(2): `size` bytes from the kernel's generator, fit to stand in the way of a guess
// (a DNS query's ID). Waits only before the generator is first seeded, early at boot.
Status FillRandom(void* data, size_t size);

}  // namespace vellomar
