#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "platform/http_client.h"

namespace vellomar {

class StopFlag;

// Where the browser brings a sign-in's answer (RFC 8252): a listener on 127.0.0.1 alone, on a
// port the system picks, reached as "http://127.0.0.1:<port>/". It takes the one request to "/"
// that carries an answer (a `code`, an `error` or a `state`), answers any other request (a
// browser's icon, say) with 404, and keeps a few idle connections a browser may open ahead.
// Used by one thread; every wait is bounded and ends at the stop.
class RedirectListener {
 public:
  // EADDRNOTAVAIL and the like when no loopback socket could be had.
  static ErrorOr<std::unique_ptr<RedirectListener>> Open();

  const std::string& uri() const { return uri_; }

  // The answer's query fields; ETIMEDOUT when none came within `wait`, ECANCELED at the stop.
  ErrorOr<FormFields> Await(std::chrono::milliseconds wait, const StopFlag& stop);
  // Shows the browser that brought the answer a small page saying the sign-in is done, or why
  // not, then closes every connection and the listener.
  void Answer(bool signedIn, const std::string& text);
  void Close();

 private:
  struct Peer {
    FileDescriptor socket;
    std::string received;
  };
  RedirectListener(FileDescriptor listener, uint16_t port);
  void Accept();
  // True when the peer's request is complete and it carried the answer.
  bool Receive(size_t index, FormFields& fields);

  FileDescriptor listener_;
  std::string uri_;
  std::vector<Peer> peers_;
  FileDescriptor browser_;
};

}  // namespace vellomar
