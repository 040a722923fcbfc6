#include "platform/keyring.h"

#include <libsecret/secret.h>

#include <cerrno>

#include "platform/stop_flag.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for the keyring looks at its deadline and the stop flag.
constexpr guint kSliceMs = 100;

const SecretSchema* Schema() {
  static const SecretSchema schema = {
      "example.vellomar.Vellomar.Token",
      SECRET_SCHEMA_NONE,
      {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}

// One asynchronous call in flight on a main context of its own, so that the calling thread
// alone drives it and can give it up at its deadline.
struct Call {
  bool done = false;
  GAsyncResult* result = nullptr;
  static void Finished(GObject*, GAsyncResult* result, gpointer self) {
    auto* call = static_cast<Call*>(self);
    call->result = G_ASYNC_RESULT(g_object_ref(result));
    call->done = true;
  }
  ~Call() {
    if (result != nullptr) g_object_unref(result);
  }
};

gboolean Tick(gpointer) { return G_SOURCE_REMOVE; }

// Drives `call` until it has finished. At the deadline or the stop the call is cancelled and
// still driven to its end, since its callback refers to `call`; GIO ends a cancelled call at
// once. The reason it was cancelled, if it was, is returned.
int Drive(GMainContext* context, GCancellable* cancellable, Call& call, std::chrono::milliseconds wait,
          const StopFlag& stop) {
  auto deadline = Clock::now() + wait;
  int cancelled = 0;
  while (!call.done) {
    if (cancelled == 0 && (stop.load() || Clock::now() >= deadline)) {
      cancelled = stop.load() ? ECANCELED : ETIMEDOUT;
      g_cancellable_cancel(cancellable);
    }
    GSource* tick = g_timeout_source_new(kSliceMs);
    g_source_set_callback(tick, Tick, nullptr, nullptr);
    g_source_attach(tick, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
  return cancelled;
}

int ErrorFor(GError* error, int cancelled) {
  if (cancelled != 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return cancelled;
  return EHOSTDOWN;
}

// Starts a call with `start` on a private context and drives it; `finish` takes its result.
template <typename Start, typename Finish>
int Perform(std::chrono::milliseconds wait, const StopFlag& stop, Start start, Finish finish) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  Call call;
  start(cancellable, &call);
  int cancelled = Drive(context, cancellable, call, wait, stop);
  GError* error = nullptr;
  int code = finish(call.result, &error) ? 0 : ErrorFor(error, cancelled);
  if (error != nullptr) g_error_free(error);
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return code;
}

}  // namespace

ErrorOr<std::string> KeyringLookup(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop) {
  std::string secret;
  bool found = false;
  int code = Perform(
      wait, stop,
      [&](GCancellable* cancellable, Call* call) {
        secret_password_lookup(Schema(), cancellable, Call::Finished, call, "account", account.c_str(), nullptr);
      },
      [&](GAsyncResult* result, GError** error) {
        gchar* text = secret_password_lookup_finish(result, error);
        if (*error != nullptr) return false;
        found = text != nullptr;
        if (found) secret = text;
        secret_password_free(text);
        return true;
      });
  if (code != 0) return ErrorOr<std::string>::Fail(code);
  if (!found) return ErrorOr<std::string>::Fail(ENOENT);
  return secret;
}

Status KeyringStore(const std::string& account, const std::string& label, const std::string& secret,
                    std::chrono::milliseconds wait, const StopFlag& stop) {
  int code = Perform(
      wait, stop,
      [&](GCancellable* cancellable, Call* call) {
        secret_password_store(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), cancellable,
                              Call::Finished, call, "account", account.c_str(), nullptr);
      },
      [](GAsyncResult* result, GError** error) { return secret_password_store_finish(result, error) == TRUE; });
  return code == 0 ? Ok() : FailWith(code);
}

Status KeyringClear(const std::string& account, std::chrono::milliseconds wait, const StopFlag& stop) {
  bool removed = false;
  int code = Perform(
      wait, stop,
      [&](GCancellable* cancellable, Call* call) {
        secret_password_clear(Schema(), cancellable, Call::Finished, call, "account", account.c_str(), nullptr);
      },
      [&](GAsyncResult* result, GError** error) {
        removed = secret_password_clear_finish(result, error) == TRUE;
        return *error == nullptr;
      });
  if (code != 0) return FailWith(code);
  return removed ? Ok() : FailWith(ENOENT);
}

}  // namespace vellomar
