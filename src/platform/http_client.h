#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vellomar {

class StopFlag;

// Name and value pairs of a form, in the order they are sent.
using FormFields = std::vector<std::pair<std::string, std::string>>;

// How one request ended. `error` is 0 when a reply came (whatever its status), else:
// ECANCELED the stop flag was set, ETIMEDOUT a time limit ran out, ECONNREFUSED nobody
// listened, EHOSTUNREACH the name or the address could not be reached, EFBIG the reply grew past
// the size limit, ELIBACC the HTTP library (libcurl, loaded at the first request) could not be
// loaded, EPROTO anything else (TLS, a certificate, a broken reply). `reason` is the library's
// own text for the failure.
struct HttpResult {
  int error = 0;
  std::string reason;
  long status = 0;
  std::string body;
  // The reply's header fields, names in lower case, in the order they came (bounded like the
  // body: a field past the size limit is dropped).
  std::vector<std::pair<std::string, std::string>> headers;
  // The first field of that name (lower case), "" when none came.
  std::string Header(const std::string& name) const;
  bool ok() const { return error == 0; }
};

// HTTPS requests through libcurl, for the few endpoints the relay talks to (the sign-in
// provider's token and device endpoints, Microsoft Graph). Only https: URLs are fetched, the server's certificate
// and name are always checked (against the system's trust store, or `authorityFile` when set),
// redirects are not followed (a 3xx is a reply like any other) and the reply's size is bounded.
// Each request is its own transfer, so one client may be used by many threads at once.
class HttpClient {
 public:
  struct Options {
    std::chrono::milliseconds connect{10000};
    // The whole request: connect, send and the complete reply.
    std::chrono::milliseconds whole{30000};
    size_t maxReply = 64 * 1024;
    // A PEM file of authorities trusted instead of the system's (tests use their own).
    std::string authorityFile;
  };

  HttpClient() : HttpClient(Options{}) {}
  explicit HttpClient(Options options);

  // POSTs `fields` as application/x-www-form-urlencoded. A set `stop` ends the request
  // within about 100 ms.
  HttpResult PostForm(const std::string& url, const FormFields& fields, const StopFlag& stop) const;

  // POSTs `body` with the given header lines ("Name: value"), for an API that takes more than
  // a form (a bearer token, a body of its own type).
  HttpResult Post(const std::string& url, const std::vector<std::string>& headers, const std::string& body,
                  const StopFlag& stop) const;

  // The same with another method ("PATCH", "DELETE"): the body, even an empty one, goes with
  // its Content-Length.
  HttpResult Request(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
                     const std::string& body, const StopFlag& stop) const;

  const Options& options() const { return options_; }

 private:
  HttpResult Perform(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
                     const std::string& body, const StopFlag& stop) const;

  Options options_;
};

// The fields joined as a form body or a URL's query: "a=1&b=x%20y", each name and value
// escaped by the library (empty where it cannot be loaded).
std::string EncodeForm(const FormFields& fields);
// The fields of a query or form text ("a=1&b=x%20y", '+' standing for a space); a field that is
// not well-formed is left out.
FormFields DecodeForm(const std::string& text);

// "libcurl/7.88.1 ..." as the library names itself, or why it could not be loaded.
std::string HttpLibraryVersion();

}  // namespace vellomar
