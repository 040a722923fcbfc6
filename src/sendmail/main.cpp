// vellomar-sendmail: how the machine's own programs hand Vellomar their mail, with the command
// line of sendmail as they use it (installed also as sendmail, mailq and newaliases by the
// vellomar-mta package). A message is either safely in the relay's drop folder when this
// ends with status 0, or refused with a sysexits status and a line on standard error.
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "common/aliases.h"
#include "common/system_error.h"
#include "control/store_file.h"
#include "platform/file_system.h"
#include "platform/signals.h"
#include "platform/socket.h"
#include "sendmail/hand_over.h"
#include "sendmail/relay_place.h"
#include "sendmail/sendmail_options.h"
#include "sendmail/stdio_smtp.h"
#include "spool/drop_file.h"
#include "spool/queue_table.h"

namespace vellomar {
namespace {

constexpr const char* kUsage =
    "Usage: vellomar-sendmail [-t] [-i] [-f sender] [-F name] [address ...] < message\n"
    "       vellomar-sendmail -bp | -bs     (mailq, an SMTP dialogue on standard input and output)\n"
    "Hands the message to Vellomar: to the relay of this user (or the system's), which stores and\n"
    "delivers it, or keeps it until it runs. Also ignored, as sendmail programs pass them: -oi -oem\n"
    "-oee -odi -odb -oQ... -v -B 8BITMIME|7BIT -N ... -R ... -V ... -X ...\n";

// A signal while a message is written: the half-written file goes, nothing is queued.
void Interrupted(int) {
  const char* path = RememberedTemporary();
  if (path[0] != '\0') (void)unlink(path);
  _exit(EX_TEMPFAIL);
}

void CatchInterruptions() {
  struct sigaction action {};
  action.sa_handler = Interrupted;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) (void)sigaction(signal, &action, nullptr);  // valid signals
  // A reply to a caller that left fails as a write; a file past its size limit fails as a
  // full disk does.
  (void)SetSignalAction(SIGPIPE, SIG_IGN);  // valid signal
  (void)SetSignalAction(SIGXFSZ, SIG_IGN);  // valid signal
}

int PrintQueue(const RelayPlace& place, std::ostream& out, std::ostream& err) {
  auto listing = ListDirectory(place.relayFolder);
  if (!listing) {
    err << "vellomar-sendmail: cannot read the queue in " << place.relayFolder << ": "
        << SystemErrorText(listing.failure()) << "\n";
    return EX_NOINPUT;
  }
  out << QueueTable(ReadWaitingMessages(place.relayFolder), std::time(nullptr));
  auto dropped = ListDirectory(place.dropFolder);
  size_t waiting = 0;
  if (dropped) {
    for (const std::string& name : dropped.value()) waiting += IsDropName(name) ? 1 : 0;
  }
  if (waiting > 0) {
    out << waiting << (waiting == 1 ? " message handed over waits" : " messages handed over wait") << " in "
        << place.dropFolder << " for the relay to take them in.\n";
  }
  return 0;
}

// newaliases: the aliases the relay reads now, checked. Always status 0: package scripts
// call it after editing /etc/aliases, and a relay reads the file again by itself.
int CheckAliases(const RelayPlace& place, std::ostream& out, std::ostream& err) {
  std::string path = kSystemAliases;
  if (auto store = ReadWholeFile(place.storeFolder + "/HKEY_LOCAL_MACHINE.ini", 1024 * 1024)) {
    auto named = StoreFile::Parse(store.value()).Get("Software\\Vellomar", "Aliases");
    if (named && !named->empty()) path = *named;
  }
  auto text = ReadWholeFile(path, 4 * 1024 * 1024);
  if (!text) {
    out << path << ": " << SystemErrorText(text.failure())
        << "; every local name goes to AdminAddress, or gets the local domain\n";
    return 0;
  }
  AliasTable table = ParseAliases(text.value(), path);
  for (const std::string& problem : table.problems) err << "vellomar-sendmail: " << problem << "\n";
  out << path << ": " << table.entries.size() << (table.entries.size() == 1 ? " alias" : " aliases")
      << "; the relay reads it again by itself when it changes\n";
  return 0;
}

std::string HostName() {
  auto name = MachineHostName();
  return name && !name.value().empty() ? name.value() : "localhost";
}

int Run(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SendmailCommandLine line = ParseSendmailCommandLine(argc > 0 ? argv[0] : "sendmail", arguments);
  if (!line.usageError.empty()) {
    std::cerr << "vellomar-sendmail: " << line.usageError << "\n" << kUsage;
    return EX_USAGE;
  }
  CatchInterruptions();
  RelayPlace place = FindRelayPlace();
  MessageSource input(STDIN_FILENO);
  switch (line.request.mode) {
    case SendmailMode::Queue:
      return PrintQueue(place, std::cout, std::cerr);
    case SendmailMode::Aliases:
      return CheckAliases(place, std::cout, std::cerr);
    case SendmailMode::Smtp:
      return ServeSmtpOnStdio(place, input, STDOUT_FILENO, HostName());
    case SendmailMode::Deliver:
      break;
  }
  HandOverResult result = HandOver(line.request, place, input);
  if (result.status != 0) std::cerr << "vellomar-sendmail: " << result.error << "\n";
  return result.status;
}

}  // namespace
}  // namespace vellomar

int main(int argc, char** argv) { return vellomar::Run(argc, argv); }
