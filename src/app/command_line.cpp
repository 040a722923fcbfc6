#include "app/command_line.h"

#include <signal.h>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <iostream>
#include <ostream>
#include <string>

#include "app/sign_in_command.h"
#include "app/status_command.h"
#include "app/user_command.h"
#include "common/app_directory.h"
#include "common/system_error.h"
#include "common/version.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "common/account_choice.h"
#include "delivery/pacing.h"
#include "platform/process.h"
#include "platform/tls_stream.h"
#include "relay/program_lock.h"
#include "spool/queue_table.h"

namespace vellomar {

namespace {

constexpr const char* kUsage =
    "Usage: vellomar [--console | --help | --version | --queue | --status [--json] | --deliver-now |\n"
    "                 --sign-in [--device | --check] [--account NAME] |\n"
    "                 --add-user NAME | --remove-user NAME | --list-users]\n";

int Help(std::ostream& out) {
  out << kUsage
      << "A store-and-forward SMTP relay for the desktop. Without an option it runs: it receives mail\n"
         "on port 25 (or $VELLOMAR_SMTP_PORT) and delivers it from its folder.\n"
         "\n"
         "  --console      run with the console face even where a display is named\n"
         "  --help         print this help and end\n"
         "  --version      print the version and end\n"
         "  --queue        print the messages waiting for delivery in the program's folder\n"
         "  --status       say how the program of that folder is doing, for a person or a monitoring\n"
         "                 check: exit status 0 all well, 1 a warning, 2 critical, 3 unreadable\n"
         "  --json         (after --status) the same as one JSON object\n"
         "  --deliver-now  ask the program running from that folder to try every waiting message now\n"
         "  --sign-in      sign in to the provider SMTP_OAuth names, in a browser on this machine, and\n"
         "                 keep the sign-in where the program running from that folder finds it\n"
         "  --device       (after --sign-in) sign in with a code entered on another device instead\n"
         "  --check        (after --sign-in) get one token with the sign-in as it stands (an app-only\n"
         "                 sign-in's credentials, or the kept sign-in) and say whether it works\n"
         "  --account NAME (after --sign-in) the sign-in of that account's section, not the default\n"
         "  --add-user NAME     let NAME log in on the listener, or give NAME a new password: asked\n"
         "                      for twice at a terminal, else read from the first line of input\n"
         "  --remove-user NAME  take NAME's login away\n"
         "  --list-users        print the names of the users who may log in\n"
         "\n"
         "Folder: "
      << GetAppDirectory() << "\n";
  return 0;
}

// "--sign-in [--device | --check] [--account NAME]"; none for any other arguments after it.
std::optional<int> SignIn(int argc, char** argv, std::ostream& out, std::ostream& err) {
  bool device = false;
  bool check = false;
  std::string account;
  for (int i = 2; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--device" && !device && !check) {
      device = true;
    } else if (argument == "--check" && !device && !check) {
      check = true;
    } else if (argument == "--account" && account.empty() && i + 1 < argc && argv[i + 1][0] != '\0') {
      account = argv[++i];
    } else {
      return std::nullopt;
    }
  }
  if (check) return SignInCheckCommand(account, out, err);
  return SignInCommand(device, account, out, err);
}

int PrintQueue(std::ostream& out) {
  // The accounts as a relay started now would choose them, from the stored relay values.
  const Settings settings = ReloadRelaySettings(SettingsKey(), Settings());
  // An account at its limit says until when its mail waits, as the relay's counts stand.
  const Pacer pacer(GetAppDirectory() + "/" + kPacingFile);
  const auto now = std::chrono::system_clock::now();
  auto accountOf = [&](const std::string& sender) {
    const Account* account = AccountFor(settings, sender);
    std::string label = AccountLabel(account);
    auto until = pacer.PacedUntil(label, PaceOf(account != nullptr ? *account->values : settings), 1, now);
    return until ? label + ", " + PacedText(*until) : label;
  };
  out << QueueTable(ReadWaitingMessages(GetAppDirectory()), std::time(nullptr), accountOf);
  return 0;
}

int DeliverNow(std::ostream& out, std::ostream& err) {
  auto holder = ProgramLockHolder(GetAppDirectory() + "/vellomar.lock");
  if (!holder) {
    err << "vellomar: no Vellomar is running from " << GetAppDirectory() << "\n";
    return 1;
  }
  Status sent = SendSignal(*holder, SIGUSR1);
  if (!sent) {
    err << "vellomar: cannot reach the program (process " << *holder << "): " << SystemErrorText(sent.error()) << "\n";
    return 1;
  }
  out << "Asked the running Vellomar (process " << *holder << ") to deliver every waiting message now.\n";
  return 0;
}

}  // namespace

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::optional<int> RunCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err) {
  if (argc <= 1) return std::nullopt;
  std::string option = argv[1];
  if (option == "--sign-in") {
    if (std::optional<int> status = SignIn(argc, argv, out, err)) return status;
  }
  if (option == "--status" && (argc == 2 || (argc == 3 && std::string(argv[2]) == "--json"))) {
    return StatusCommand(argc == 3, out, err);
  }
  if (argc == 3 && option == "--add-user") return AddUserCommand(argv[2], std::cin, out, err);
  if (argc == 3 && option == "--remove-user") return RemoveUserCommand(argv[2], out, err);
  if (argc == 2) {
    if (option == "--console") return std::nullopt;  // the program itself, main() picks the face
    if (option == "--list-users") return ListUsersCommand(out, err);
    if (option == "--help" || option == "-h") return Help(out);
    if (option == "--version") {
      out << "vellomar " VELLOMAR_VERSION "\n" << "TLS: " << TlsLibraryVersion() << "\n";
      return 0;
    }
    if (option == "--queue") return PrintQueue(out);
    if (option == "--deliver-now") return DeliverNow(out, err);
  }
  err << "vellomar: " << (argc == 2 ? "unknown option '" + option + "'" : std::string("one option at a time")) << "\n"
      << kUsage;
  return 2;
}

}  // namespace vellomar
