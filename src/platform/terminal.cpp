#include "platform/terminal.h"

#include <errno.h>
#include <termios.h>
#include <unistd.h>

namespace vellomar {

namespace {

// Puts the terminal's settings back as they were, whatever way the read ends.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    // Nothing more can be done when the terminal refuses its own old settings.
    if (active_) (void)::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

ErrorOr<std::string> ReadHiddenLine(int fd) {
  EchoOff quiet(fd);
  std::string line;
  for (;;) {
    char c = 0;
    ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrorOr<std::string>::Fail(errno);
    if (got == 0 || c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace vellomar
