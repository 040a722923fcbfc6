#include "common/system_error.h"

#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "common/window_controls.h"

namespace vellomar {

std::string SystemErrorText(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

std::string SystemErrorText(SystemError error) {
  if (error.source == SystemError::Source::Resolver) return ::gai_strerror(error.code);
  return SystemErrorText(error.code);
}

void WindowControls::ShowSystemError(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

}  // namespace vellomar
