#include "common/system_error.h"

#include <netdb.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace vellomar {

namespace {
std::mutex displayLock;
SystemErrorDisplay display;
}  // namespace

std::string SystemErrorText(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

std::string SystemErrorText(SystemError error) {
  if (error.source == SystemError::Source::Resolver) return ::gai_strerror(error.code);
  return SystemErrorText(error.code);
}

void ShowSystemError(int code) { ShowSystemError(SystemError{code, SystemError::Source::Errno}); }

void ShowSystemError(SystemError error) {
  SystemErrorDisplay show;
  {
    std::lock_guard<std::mutex> guard(displayLock);
    show = display;
  }
  std::string text = SystemErrorText(error);
  if (show) {
    show(text);
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void SetSystemErrorDisplay(SystemErrorDisplay newDisplay) {
  std::lock_guard<std::mutex> guard(displayLock);
  display = std::move(newDisplay);
}

}  // namespace vellomar
