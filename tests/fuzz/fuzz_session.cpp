// The SMTP server session fed arbitrary bytes in arbitrary pieces through a real socket pair,
// as a client sends them. Every session must end, leaving no reserved name and no registry
// entry behind, and every spool file it left must be a complete message whose data has one
// end, at its end, and only CR LF line ends: what the replay later sends as it is.
//
// Input: the first byte seeds the pieces' lengths, the second bounds them; the rest is what
// the client sends. Each piece is sent once the session has taken the one before.
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/app_directory.h"
#include "fuzz_check.h"
#include "common/text.h"
#include "common/window_services.h"
#include "platform/file_system.h"
#include "platform/stop_flag.h"
#include "smtp_server/server_session.h"
#include "spool/spool_format.h"
#include "spool/spool_lists.h"

namespace vellomar {
namespace {

// What a session asks of the window, answered by nobody.
class Unwatched : public WindowServices {
 public:
  void AppendLog(const std::string&) override {}
  void RefreshStatistics() override {}
  int IncomingCount() override { return 0; }
  int OutgoingCount() override { return 0; }
  void StartClient() override {}
  ThreadTracker& threads() override { return tracker_; }
  void SetClientImage(bool) override {}
  void HideWindow() override {}
  bool ContinueOrClearClient(const ThreadHandle*) override { return false; }

 private:
  StopFlag stop_;
  ThreadTracker tracker_{stop_};
};

using fuzz::Check;

// The client: each piece once the session has taken the one before (or has gone), the
// replies read as they come, then the end of what it sends, then every reply to the close.
void Client(int fd, std::string_view bytes, uint8_t seed, uint8_t most) {
  uint32_t state = seed * 2654435761u + 1;
  char replies[4096];
  while (!bytes.empty()) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    size_t length = std::min<size_t>(bytes.size(), 1 + state % (most + 1u));
    if (::send(fd, bytes.data(), length, MSG_NOSIGNAL) < 0) break;
    bytes.remove_prefix(length);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int unread = 1; unread > 0 && std::chrono::steady_clock::now() < until;) {
      while (::recv(fd, replies, sizeof replies, MSG_DONTWAIT) > 0) {
      }
      if (::ioctl(fd, SIOCOUTQ, &unread) != 0) break;
      if (unread > 0) std::this_thread::yield();
    }
  }
  ::shutdown(fd, SHUT_WR);
  while (::recv(fd, replies, sizeof replies, 0) > 0) {
  }
}

// The message data of a stored message: after the DATA line and the two trace header lines,
// before the QUIT line the session wrote.
void CheckStored(const std::string& file) {
  constexpr std::string_view kQuit = "QUIT\r\n";
  Check(StartsWithIgnoreCase(file, "HELO"), "a spool file begins with its HELO line");
  Check(file.size() > kQuit.size() && file.compare(file.size() - kQuit.size(), kQuit.size(), kQuit) == 0,
        "a committed spool file ends with its QUIT line");
  size_t line = 0;
  while (line < file.size() && !StartsWithIgnoreCase(std::string_view(file).substr(line), "DATA")) {
    line = file.find('\n', line);
    Check(line != std::string::npos, "a committed spool file has a DATA line");
    ++line;
  }
  size_t data = file.find('\n', line) + 1;
  Check(std::string_view(file).substr(data).rfind("Received: from ", 0) == 0, "the trace header follows the DATA line");
  data = file.find("\r\n", file.find("\r\n", data) + 2) + 2;
  std::string_view body(file.data() + data, file.size() - data - kQuit.size());
  Check(body == ".\r\n" || (body.size() > 5 && body.substr(body.size() - 5) == "\r\n.\r\n"),
        "the data ends with its end line");
  body.remove_suffix(3);
  Check(body.rfind(".\r\n", 0) != 0 && body.find("\r\n.\r\n") == std::string_view::npos,
        "the data holds no other end line");
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\n') Check(i > 0 && body[i - 1] == '\r', "every line feed of the data follows a CR");
    if (body[i] == '\r') Check(i + 1 < body.size() && body[i + 1] == '\n', "every CR of the data comes before a LF");
  }
}

struct Setting {
  Setting() {
    char folder[] = "/dev/shm/vellomar-fuzz-session-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    SetAppDirectory(folder);
    std::atexit([] { ::rmdir(GetAppDirectory().c_str()); });  // emptied after each input
    limits.readWait = limits.commandTime = limits.dataGrace = std::chrono::seconds(2);
  }
  Unwatched window;
  SessionLimits limits;
};

}  // namespace
}  // namespace vellomar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  static Setting& setting = *new Setting();
  if (size < 2) return 0;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  ServerSession session;
  session.socket = FileDescriptor(pair[0]);
  session.clientAddress = "192.0.2.1";
  session.limits = setting.limits;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    session.spoolName = TheQueueList().NewSpoolName(true);
  }
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    IncomingRegistry().AddWorker(nullptr, session.spoolName);
  }
  FileDescriptor client(pair[1]);
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::thread sender([&] { Client(client.get(), bytes, data[0], data[1]); });
  uint32_t before = setting.window.receivedOk.load();
  SessionThread(std::move(session), setting.window);
  sender.join();

  {
    std::lock_guard<std::mutex> guard(QueueLock());
    Check(TheQueueList().size() == 0, "every name the session reserved is released");
  }
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    Check(IncomingRegistry().size() == 0, "the session left the registry");
  }
  auto names = ListDirectory(GetAppDirectory());
  Check(names.ok(), "the folder can be listed");
  uint32_t stored = 0;
  for (const std::string& name : names.value()) {
    Check(HasSpoolExtension(name), "only spool files are left");
    auto content = ReadWholeFile(AppFilePath(name));
    Check(content.ok(), "a spool file can be read");
    CheckStored(content.value());
    ++stored;
    (void)RemoveFile(AppFilePath(name));  // the next input starts from an empty folder
  }
  Check(stored == setting.window.receivedOk.load() - before, "a file is left for each message acknowledged");
  return 0;
}
