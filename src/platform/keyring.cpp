#include "platform/keyring.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/shared_library.h"
#include "platform/stop_flag.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// The entry points of libsecret and of the GLib beneath it that this file calls. libsecret is
// loaded when a token is first looked up or kept, not at the program's start: it brings GLib,
// GIO and libgcrypt, which a relay without a sign-in never uses, and every library mapped into a
// network service is memory it pays for and code an attacker can reach. (Named without their
// prefixes, as the calls' own names may be macros.)
#define VELLOMAR_SECRET_CALLS(X)                                                                           \
  X(secret_, password_lookup_sync) X(secret_, password_store_sync) X(secret_, password_clear_sync)         \
  X(secret_, password_free) X(g_, cancellable_new) X(g_, cancellable_cancel) X(g_, object_unref)            \
  X(g_, error_matches) X(g_, error_free) X(g_, io_error_quark)
struct SecretCalls {
#define VELLOMAR_SECRET_CALL(prefix, name) decltype(&::prefix##name) name = nullptr;
  VELLOMAR_SECRET_CALLS(VELLOMAR_SECRET_CALL)
#undef VELLOMAR_SECRET_CALL
  bool ready = false;
};

// Loaded once, with GLib and GIO as its own dependencies (looked up through its handle), and
// kept for the life of the process: GLib cannot be unloaded.
const SecretCalls& Secret() {
  static const SecretCalls calls = [] {
    SecretCalls loaded;
    std::string problem;
    SharedLibrary library = SharedLibrary::Open("libsecret-1.so.0", problem);
    if (!library) return loaded;
    bool complete = true;
#define VELLOMAR_SECRET_CALL(prefix, name) complete = Bind(library, #prefix #name, loaded.name) && complete;
    VELLOMAR_SECRET_CALLS(VELLOMAR_SECRET_CALL)
#undef VELLOMAR_SECRET_CALL
    if (!complete) return loaded;
    library.Keep();
    loaded.ready = true;
    return loaded;
  }();
  return calls;
}

// How often a wait for the keyring looks at the stop flag.
constexpr std::chrono::milliseconds kSlice{100};

const SecretSchema* Schema() {
  static const SecretSchema schema = {
      "example.vellomar.Vellomar.Token",
      SECRET_SCHEMA_NONE,
      {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}

int ErrorFor(GError* error, int cancelled) {
  const SecretCalls& secret = Secret();
  if (cancelled != 0 && secret.error_matches(error, secret.io_error_quark(), G_IO_ERROR_CANCELLED)) return cancelled;
  return EHOSTDOWN;
}

// Runs one of the library's blocking calls with a watchdog that cancels it at the deadline or
// the stop. The library's blocking calls keep their D-Bus traffic on a context of their own,
// which is sounder than driving its asynchronous calls from here; the watchdog is joined before
// the call's result is used, so it never outlives what it refers to.
template <typename Call>
int Perform(std::chrono::milliseconds wait, const StopFlag& stop, Call call) {
  const SecretCalls& secret = Secret();
  if (!secret.ready) return EHOSTDOWN;
  GCancellable* cancellable = secret.cancellable_new();
  std::mutex lock;
  std::condition_variable finishedOrDue;
  bool finished = false;
  int cancelled = 0;
  std::thread watchdog([&] {
    const auto deadline = Clock::now() + wait;
    std::unique_lock<std::mutex> held(lock);
    while (!finished) {
      if (stop.load() || Clock::now() >= deadline) {
        cancelled = stop.load() ? ECANCELED : ETIMEDOUT;
        secret.cancellable_cancel(cancellable);
        return;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      finishedOrDue.wait_for(held, std::min(left, kSlice));
    }
  });
  GError* error = nullptr;
  bool succeeded = call(cancellable, &error);
  {
    std::lock_guard<std::mutex> guard(lock);
    finished = true;
  }
  finishedOrDue.notify_all();
  watchdog.join();
  int code = succeeded ? 0 : ErrorFor(error, cancelled);
  if (error != nullptr) secret.error_free(error);
  secret.object_unref(cancellable);
  return code;
}

}  // namespace

ErrorOr<std::string> KeyringLookup(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop) {
  std::string secret;
  bool found = false;
  int code = Perform(wait, stop, [&](GCancellable* cancellable, GError** error) {
    gchar* text = Secret().password_lookup_sync(Schema(), cancellable, error, "account", account.c_str(), nullptr);
    found = text != nullptr;
    if (found) secret = text;
    Secret().password_free(text);
    return *error == nullptr;
  });
  if (code != 0) return ErrorOr<std::string>::Fail(code);
  if (!found) return ErrorOr<std::string>::Fail(ENOENT);
  return secret;
}

Status KeyringStore(const std::string& account, const std::string& label, const std::string& secret,
                    std::chrono::milliseconds wait, const StopFlag& stop) {
  int code = Perform(wait, stop, [&](GCancellable* cancellable, GError** error) {
    return Secret().password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), cancellable,
                                        error, "account", account.c_str(), nullptr) == TRUE;
  });
  return code == 0 ? Ok() : FailWith(code);
}

Status KeyringClear(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop) {
  bool removed = false;
  int code = Perform(wait, stop, [&](GCancellable* cancellable, GError** error) {
    removed = Secret().password_clear_sync(Schema(), cancellable, error, "account", account.c_str(), nullptr) == TRUE;
    return *error == nullptr;
  });
  if (code != 0) return FailWith(code);
  return removed ? Ok() : FailWith(ENOENT);
}

}  // namespace vellomar
