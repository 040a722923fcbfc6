// The relay object: its settings, its log and its folder lock, and the services its threads ask.
#include "relay/relay.h"

#include <ctime>

#include "common/system_error.h"
#include "common/account_choice.h"
#include "delivery/delivery_notes.h"
#include "sign_in/sign_ins.h"
#include "platform/file_system.h"
#include "relay/program_lock.h"

namespace vellomar {

namespace {
const char* const kLogFileName = "logfile";
const char* const kOldLogFileName = "logfile.1";

// One message, one line: a control character would end it early or forge a line of its own,
// whoever put it in the text (a DNS answer, a server's reply, a file's name), so each becomes
// a '?'. Tabs too, so that a line reads the same in every viewer.
std::string OneLine(std::string message) {
  for (char& c : message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return message;
}
}  // namespace

Relay::Relay(std::string directory, StopFlag& stop, WindowServices& window, LocalTimeSource clock,
             SignInOptions signIn)
    : RelayServices(std::move(directory), stop, std::move(clock)),
      window_(window),
      delivery_(*this, std::move(signIn),
                [this](const std::string& account, const std::string& line) { SignInNeeded(account, line); }),
      status_(FilePath(kStatusFile), stop),
      keeper_(*this, status_, [this](const std::string& sender) { return AccountOfSender(sender); }),
      threads_(stop, [this](const std::string& fault) { AppendLog("Error : " + fault); }) {}

Relay::~Relay() {
  if (!stop().load()) Stop();
  threads_.JoinAll();
}

void Relay::PublishSettings(Settings next) {
  std::lock_guard<std::mutex> guard(publishLock_);
  next.version = ++versions_;
  ReplaceSettings(std::make_shared<const Settings>(std::move(next)));
}

bool Relay::OpenLog() {
  std::lock_guard<std::mutex> guard(logLock_);
  return logFile_.Open(FilePath(kLogFileName));
}

void Relay::MoveLogToEnd() {
  std::lock_guard<std::mutex> guard(logLock_);
  logFile_.MoveToEnd();
}

void Relay::CloseLog() {
  std::lock_guard<std::mutex> guard(logLock_);
  logFile_.Close();
}

void Relay::AppendLog(const std::string& text) {
  const std::string message = OneLine(text);
  std::tm now = LocalNow();
  int32_t logsize = settings()->Logsize;
  std::lock_guard<std::mutex> guard(logLock_);
  if (!logFile_.IsOpen()) return;
  std::string line = LogTimeStamp(now) + message + "\r\n";
  logFile_.Write(line);
  // Handed over under the log's lock, so the box gets the messages in the order of the lines.
  window_.AppendNotification(message + "\r\n", line);
  if (logFile_.Length() > LogLimit(logsize)) {
    // The full log is kept as logfile.1 (replacing the one before), so the lines that explain
    // a problem outlive the next burst of traffic.
    (void)RenameFile(FilePath(kLogFileName), FilePath(kOldLogFileName));  // else it is emptied
    if (!logFile_.Reopen(FilePath(kLogFileName))) {
      window_.ShowMessage("Can't reopen logfile. Logs ignored now...", "Vellomar error");
    }
  }
}

// A second program on the same folder would clean up the first one's receptions as
// incomplete and deliver its waiting files twice.
bool Relay::TakeFolderLock() {
  auto lock = TakeProgramLockFile(FilePath("vellomar.lock"));
  if (!lock) return lock.error() != EWOULDBLOCK;
  programLock_ = std::move(lock.value());
  return true;
}

void Relay::AnnounceSignIn() {
  std::shared_ptr<const Settings> current = settings();
  bool any = !current->SMTP_OAuth.empty();
  for (const Account& account : current->Accounts) any = any || !account.values->SMTP_OAuth.empty();
  if (!any) return;
  // Nothing to do when the relay stops first.
  (void)threads_.Start([this, current](ThreadHandle&) {
    if (!current->SMTP_OAuth.empty()) delivery_.signIns.Announce(*current);
    for (const Account& account : current->Accounts) {
      if (!account.values->SMTP_OAuth.empty()) delivery_.signIns.Announce(*account.values);
    }
    return 0;
  });
}

void Relay::ReloadSignIns() {
  AppendLog("Sign-in tokens read again.");
  status_.ClearSignIns();
  delivery_.signIns.ReloadAll();
  DeliverNow();
}

void Relay::ShowSystemError(SystemError error) { window_.ShowSystemError(SystemErrorText(error)); }

void Relay::HideWindowOnce() {
  if (settings()->Minimize && !windowHidden_.exchange(true)) window_.HideWindow();
}

void Relay::ReportEvent(const RelayEvent& event) {
  RelayEvent told = event;
  if (told.account.empty() && !told.spoolName.empty() && told.kind != RelayEvent::Kind::SpoolTrouble) {
    told.account = AccountOfFile(told.spoolName);
  }
  status_.Record(told, std::time(nullptr));
  if (IsNotified(told.kind)) window_.ReportEvent(told);
}

std::string Relay::AccountOfSender(const std::string& sender) const {
  return AccountLabel(AccountFor(*settings(), sender));
}

// The worker that delivers the file published its sender; a file no worker holds is sent by
// the default account as far as anyone can tell.
std::string Relay::AccountOfFile(const std::string& spoolName) {
  MailSummary summary;
  return outgoing.GetSummary(spoolName, summary) ? AccountOfSender(summary.sender) : AccountLabel(nullptr);
}

// The window offers to sign in, and each account that signs in so hears of it.
void Relay::SignInNeeded(const std::string& signIn, const std::string& logLine) {
  window_.SignInNeeded(signIn, logLine);
  std::shared_ptr<const Settings> current = settings();
  auto signsInAs = [&](const Settings& values) {
    SignInValues made = NextRelaySignIn(values);
    OAuthProviderChoice choice = SignInProvider(made);
    return choice.provider && SignInAccount(*choice.provider, made.mailbox) == signIn;
  };
  std::vector<std::string> accounts;
  if (signsInAs(*current)) accounts.push_back(AccountLabel(nullptr));
  for (const Account& account : current->Accounts) {
    if (signsInAs(*account.values)) accounts.push_back(account.name);
  }
  if (accounts.empty()) accounts.push_back(AccountLabel(nullptr));  // the settings changed meanwhile
  for (const std::string& account : accounts) {
    ReportEvent({.kind = RelayEvent::Kind::SignInNeeded,
                 .account = account,
                 .reason = WithoutErrorMark(logLine),
                 .signIn = signIn});
  }
}

}  // namespace vellomar
