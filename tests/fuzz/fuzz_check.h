#pragma once

#include <cstdio>
#include <cstdlib>

namespace vellomar::fuzz {

// A property every input must keep; a broken one ends the run as a crash, with its input kept.
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

}  // namespace vellomar::fuzz
