// The SMTP server session fed arbitrary bytes in arbitrary pieces through a real socket pair,
// as a client sends them. Every session must end, leaving no reserved name and no registry
// entry behind, and every spool file it left must be a complete message in the stored form:
// CR LF line ends only, the envelope in its one form, and message data with one end, at its
// end. That is what the replay later sends to the next relay as it is.
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

#include "fuzz_check.h"
#include "common/text.h"
#include "common/window_services.h"
#include "platform/file_system.h"
#include "platform/stop_flag.h"
#include "smtp_server/mail_path.h"
#include "relay/relay.h"
#include "smtp_server/relay_policy.h"
#include "smtp_server/server_session.h"
#include "spool/spool_format.h"

namespace vellomar {
namespace {

// What a relay tells its window, shown to nobody.
class Unwatched : public WindowServices {
 public:
  void AppendNotification(const std::string&, const std::string&) override {}
  void ShowMessage(const std::string&, const std::string&) override {}
  void ShowSystemError(const std::string&) override {}
  void RefreshStatistics() override {}
  void SetServerImage(bool) override {}
  void SetClientImage(bool) override {}
  void HideWindow() override {}
  void SignInNeeded(const std::string&, const std::string&) override {}
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

// The envelope of a stored message in its one stored form, each address as it reads back.
void CheckEnvelopeLine(std::string_view line) {
  Check(line.rfind("HELO ", 0) == 0 || line.rfind("MAIL FROM:<", 0) == 0 || line.rfind("RCPT TO:<", 0) == 0,
        "an envelope line is stored in its one form");
  if (line.rfind("HELO ", 0) == 0) return;
  std::string_view argument = line.substr(5, line.size() - 7);  // without the word and the line end
  std::string_view word = line[0] == 'M' ? "FROM:" : "TO:";
  auto path = ParseMailPath(argument, word);
  Check(path && "<" + path->address + ">" == argument.substr(word.size()), "a stored address reads back as itself");
}

// A stored message: every line ends in CR LF; the envelope, the DATA line and the trace
// header; the message data, with one end of data, at its end; the QUIT line the session wrote.
void CheckStored(const std::string& file) {
  constexpr std::string_view kQuit = "QUIT\r\n";
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n') Check(i > 0 && file[i - 1] == '\r', "every line feed follows a CR");
    if (file[i] == '\r') Check(i + 1 < file.size() && file[i + 1] == '\n', "every CR comes before a line feed");
  }
  Check(file.size() > kQuit.size() && file.compare(file.size() - kQuit.size(), kQuit.size(), kQuit) == 0,
        "a committed spool file ends with its QUIT line");
  size_t at = 0;
  for (size_t end; (end = file.find("\r\n", at)) != std::string::npos && file.compare(at, 6, "DATA\r\n") != 0;
       at = end + 2) {
    CheckEnvelopeLine(std::string_view(file).substr(at, end + 2 - at));
  }
  Check(file.compare(at, 6, "DATA\r\n") == 0, "a committed spool file has a DATA line");
  at += 6;
  Check(std::string_view(file).substr(at).rfind("Received: from ", 0) == 0, "the trace header follows the DATA line");
  at = file.find("\r\n", file.find("\r\n", at) + 2) + 2;
  std::string_view body(file.data() + at, file.size() - at - kQuit.size());
  Check(body == ".\r\n" || (body.size() >= 5 && body.substr(body.size() - 5) == "\r\n.\r\n"),
        "the data ends with its end line");
  body.remove_suffix(3);
  Check(body.rfind(".\r\n", 0) != 0 && body.find("\r\n.\r\n") == std::string_view::npos,
        "the data holds no other end line");
}

// One relay for the whole run, in a folder of its own; its clock and limits are short.
struct Setting {
  static std::string MakeFolder() {
    char folder[] = "/dev/shm/vellomar-fuzz-session-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    return folder;
  }
  Setting() : relay(MakeFolder(), stop, window) {
    static std::string folder = relay.directory();
    std::atexit([] { ::rmdir(folder.c_str()); });  // emptied after each input
    // A stand-in holds the dispatcher's place, so that a committed message stays where the
    // session left it instead of being taken for delivery.
    relay.StartClientThread([](ThreadHandle& self) {
      self.Suspend();
      self.PassGate();
      return 0;
    });
    SessionLimits& limits = relay.timings.session;
    for (auto* wait : {&limits.commandWait, &limits.dataWait, &limits.busyWait, &limits.commandTime,
                       &limits.dataGrace, &limits.sendWait}) {
      *wait = std::chrono::seconds(2);
    }
  }
  StopFlag stop;
  Unwatched window;
  Relay relay;
};

}  // namespace
}  // namespace vellomar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  static Setting& setting = *new Setting();
  Relay& relay = setting.relay;
  if (size < 2) return 0;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  FileDescriptor client(pair[1]);
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  uint32_t before = relay.counters.receivedOk.load();
  IpAddress address = *ParseIpAddress("192.0.2.1");
  Check(StartSession(relay, FileDescriptor(pair[0]), AddressLiteral(address), RelayPolicy(*relay.settings(), address)),
        "the session starts");
  Client(client.get(), bytes, data[0], data[1]);
  // The client saw the close; the session's last steps follow it at once.
  for (int i = 0; i < 2000 && relay.incoming.size() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  Check(relay.queue.size() == 0, "every name the session reserved is released");
  Check(relay.incoming.size() == 0, "the session left the registry");
  auto names = ListDirectory(relay.directory());
  Check(names.ok(), "the folder can be listed");
  uint32_t stored = 0;
  for (const std::string& name : names.value()) {
    if (name == "logfile") continue;
    Check(HasSpoolExtension(name), "only spool files are left");
    auto content = ReadWholeFile(relay.FilePath(name));
    Check(content.ok(), "a spool file can be read");
    CheckStored(content.value());
    ++stored;
    (void)RemoveFile(relay.FilePath(name));  // the next input starts from an empty folder
  }
  Check(stored == relay.counters.receivedOk.load() - before, "a file is left for each message acknowledged");
  return 0;
}
