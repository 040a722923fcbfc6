// The files of the application directory that another user or program can write, each fed
// any content (the first byte chooses which): the aliases, the listener's users, a sign-in's
// token file, the pacing state, and an app-only sign-in's key files (a service account's JSON
// key, a certificate and key in PEM), which an administrator may have copied from anywhere. Each is read or refused without fault, and what is read
// keeps the reader's own bounds.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "common/aliases.h"
#include "common/user_file.h"
#include "delivery/pacing.h"
#include "sign_in/app_credentials.h"
#include "sign_in/oauth_provider.h"
#include "sign_in/token_store.h"
#include "fuzz_check.h"
#include "platform/file_system.h"
#include "platform/stop_flag.h"

namespace {

const std::string& Folder() {
  static const std::string path = [] {
    static char folder[] = "/dev/shm/vellomar-fuzz-files-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] {
      for (const char* name : {"users", "pacing.json", "token", "app.pem", "app.json"}) ::unlink((std::string(folder) + "/" + name).c_str());
      ::rmdir(folder);
    });
    return std::string(folder);
  }();
  return path;
}

void Aliases(const std::string& text) {
  using namespace vellomar;
  AliasTable table = ParseAliases(text, "aliases");
  fuzz::Check(table.problems.size() <= 21, "a file of faults says a bounded number of them");
  for (const auto& [name, targets] : table.entries) {
    fuzz::Check(!name.empty() && !targets.empty(), "an entry names something");
    (void)table.Find(name);
  }
}

void Users(const std::string& text) {
  using namespace vellomar;
  const std::string path = Folder() + "/users";
  fuzz::Check(ReplaceFileContents(path, text).ok(), "the file is written");
  auto users = ReadUsers(path);
  fuzz::Check(users.ok(), "a list of any content is read");
  for (const UserEntry& user : users.value()) {
    fuzz::Check(ValidUserName(user.name) && !user.hash.empty(), "only users that could log in are read");
  }
}

void Token(const std::string& text) {
  using namespace vellomar;
  StopFlag stop;
  auto store = TokenStore::Open(Folder(), "fuzz", false, std::chrono::milliseconds(0), stop);
  fuzz::Check(ReplaceFileContents(store->path(), text).ok(), "the file is written");
  auto token = store->Load();
  if (token) fuzz::Check(!token.value().empty() && token.value().find('\n') == std::string::npos, "a token is one line");
}

void Pacing(const std::string& text) {
  using namespace vellomar;
  const std::string path = Folder() + "/pacing.json";
  fuzz::Check(ReplaceFileContents(path, text).ok(), "the file is written");
  Pacer pacer(path);
  const Pacer::WallTime now = std::chrono::system_clock::now();
  const Pacer::Limits limits{30, 10000};
  for (const char* account : {"", "default", "work"}) {
    auto until = pacer.PacedUntil(account, limits, 1, now);
    // Whatever the file said, no message waits for more than a day and a minute.
    if (until) fuzz::Check(*until <= now + std::chrono::hours(24) + std::chrono::minutes(2), "a wait is bounded");
    (void)pacer.Take(account, limits, 1, now);
  }
}

// The whole request is made from the file: read, parsed, signed; a file that holds no key
// is a problem line, never a request.
void AppKeyFile(const std::string& text, bool serviceAccount) {
  using namespace vellomar;
  const std::string path = Folder() + (serviceAccount ? "/app.json" : "/app.pem");
  fuzz::Check(ReplaceFileContents(path, text).ok(), "the file is written");
  OAuthProvider provider;
  provider.key = serviceAccount ? "google" : "custom";
  provider.appOnly = true;
  provider.tokenUrl = "https://localhost/token";
  provider.clientId = "fuzz";
  provider.subject = "alice@example.org";
  (serviceAccount ? provider.serviceAccountFile : provider.certificateFile) = path;
  AppTokenRequest request = MakeAppTokenRequest(provider, std::chrono::system_clock::now());
  fuzz::Check(request.problem.empty() != request.form.empty(), "a request or a problem");
  fuzz::Check(request.problem.find("PRIVATE") == std::string::npos, "a problem never quotes the file");
  if (serviceAccount) {
    std::string problem;
    auto key = ParseServiceAccountKey(text, problem);
    fuzz::Check(key.has_value() == problem.empty(), "a key or a problem");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: Aliases(text); break;
    case 1: Users(text); break;
    case 2: Token(text); break;
    case 4: AppKeyFile(text, true); break;
    case 5: AppKeyFile(text, false); break;
    default: Pacing(text); break;
  }
  return 0;
}
