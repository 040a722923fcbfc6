#include "common/system_error.h"

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

void ShowSystemError(int code) {
  SystemErrorDisplay show;
  {
    std::lock_guard<std::mutex> guard(displayLock);
    show = display;
  }
  std::string text = SystemErrorText(code);
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
