#include "sign_in/oauth_redirect_listener.h"

#include <algorithm>

#include "platform/socket.h"
#include "platform/stop_flag.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kSlice{100};
// Browsers open a connection or two ahead of need; more than this are not kept.
constexpr size_t kMaxPeers = 8;
// A redirect's request head is a few hundred bytes; the code in it a few kilobytes at most.
constexpr size_t kMaxRequest = 16 * 1024;
constexpr std::chrono::seconds kSendLimit{2};

// The request line's target ("/?code=..."), once the head is complete; "" until then.
bool RequestTarget(const std::string& received, std::string& target) {
  if (received.find("\r\n\r\n") == std::string::npos && received.find("\n\n") == std::string::npos) return false;
  std::string line = received.substr(0, received.find_first_of("\r\n"));
  size_t space = line.find(' ');
  size_t end = line.find(' ', space + 1);
  if (line.substr(0, space) != "GET" || space == std::string::npos || end == std::string::npos) {
    target.clear();
    return true;
  }
  target = line.substr(space + 1, end - space - 1);
  return true;
}

bool CarriesAnswer(const FormFields& fields) {
  return std::any_of(fields.begin(), fields.end(), [](const auto& field) {
    return field.first == "code" || field.first == "error" || field.first == "state";
  });
}

std::string HtmlEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

void Send(int fd, const std::string& status, const std::string& body) {
  std::string response = "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
  // A browser that went away needs no page; the sign-in's outcome does not depend on it.
  (void)SetSendTimeout(fd, kSendLimit);
  for (size_t sent = 0; sent < response.size();) {
    auto some = SendOnce(fd, response.data() + sent, response.size() - sent);
    if (!some || some.value() == 0) return;
    sent += some.value();
  }
}

}  // namespace

ErrorOr<std::unique_ptr<RedirectListener>> RedirectListener::Open() {
  using Result = ErrorOr<std::unique_ptr<RedirectListener>>;
  auto socket = CreateTcpSocket(AF_INET);
  if (!socket) return Result::Fail(socket.failure());
  Status bound = BindLoopback(socket.value().get(), 0);
  if (bound) bound = ListenOn(socket.value().get(), 8);
  if (!bound) return Result::Fail(bound.failure());
  auto port = LocalPort(socket.value().get());
  if (!port) return Result::Fail(port.failure());
  return std::unique_ptr<RedirectListener>(new RedirectListener(std::move(socket.value()), port.value()));
}

RedirectListener::RedirectListener(FileDescriptor listener, uint16_t port)
    : listener_(std::move(listener)), uri_("http://127.0.0.1:" + std::to_string(port) + "/") {}

void RedirectListener::Accept() {
  auto accepted = AcceptConnection(listener_.get());
  // A connection given up by the browser before it was taken is nothing to wait for.
  if (!accepted) return;
  if (peers_.size() == kMaxPeers) peers_.erase(peers_.begin());
  peers_.push_back(Peer{std::move(accepted.value().socket), {}});
}

bool RedirectListener::Receive(size_t index, FormFields& fields) {
  Peer& peer = peers_[index];
  char buffer[4096];
  auto got = ReceiveSome(peer.socket.get(), buffer, sizeof buffer);
  if (!got || got.value() == 0 || peer.received.size() + got.value() > kMaxRequest) {
    peers_.erase(peers_.begin() + static_cast<long>(index));
    return false;
  }
  peer.received.append(buffer, got.value());
  std::string target;
  if (!RequestTarget(peer.received, target)) return false;
  size_t question = target.find('?');
  fields = question == std::string::npos ? FormFields{} : DecodeForm(target.substr(question + 1));
  if (target.substr(0, question) == "/" && CarriesAnswer(fields)) {
    browser_ = std::move(peer.socket);
    peers_.erase(peers_.begin() + static_cast<long>(index));
    return true;
  }
  Send(peer.socket.get(), "404 Not Found", "<!DOCTYPE html><title>Vellomar</title><p>Nothing here.</p>\n");
  peers_.erase(peers_.begin() + static_cast<long>(index));
  return false;
}

ErrorOr<FormFields> RedirectListener::Await(std::chrono::milliseconds wait, const StopFlag& stop) {
  auto deadline = Clock::now() + wait;
  for (;;) {
    if (stop.load()) return ErrorOr<FormFields>::Fail(ECANCELED);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !listener_.valid()) return ErrorOr<FormFields>::Fail(ETIMEDOUT);
    std::vector<int> fds{listener_.get()};
    for (const Peer& peer : peers_) fds.push_back(peer.socket.get());
    auto ready = WaitAnyReadable(fds, static_cast<int>(std::min(left, kSlice).count()));
    if (!ready) return ErrorOr<FormFields>::Fail(ready.failure());
    FormFields fields;
    if (ready.value() == 0) {
      Accept();
    } else if (ready.value() < fds.size() && Receive(ready.value() - 1, fields)) {
      return fields;
    }
  }
}

void RedirectListener::Answer(bool signedIn, const std::string& text) {
  if (browser_.valid()) {
    std::string heading = signedIn ? "Signed in" : "Sign-in not completed";
    Send(browser_.get(), "200 OK",
         "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Vellomar: " + heading +
             "</title></head>\n<body><h1>" + heading + "</h1>\n<p>" + HtmlEscaped(text) + "</p></body></html>\n");
  }
  Close();
}

void RedirectListener::Close() {
  (void)browser_.Close();  // nothing was written that a failed close could lose
  peers_.clear();
  (void)listener_.Close();
}

}  // namespace vellomar
