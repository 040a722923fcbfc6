#include "platform/http_client.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/shared_library.h"
#include "platform/stop_flag.h"

namespace vellomar {

namespace {

// How often a request looks at the stop flag while nothing happens on its sockets.
constexpr int kStopSliceMs = 100;

// libcurl's entry points that this file calls. The library is loaded when the first request or
// form text needs it rather than at the program's start: it brings a score of libraries of its
// own (GnuTLS, Kerberos, LDAP, SSH, IDN...) that a relay without a sign-in never uses, and every
// one of them costs memory and is code within an attacker's reach. (Named without their curl_
// prefix: curl.h makes macros of some of those names.)
#define VELLOMAR_CURL_CALLS(X)                                                                                       \
  X(global_init) X(version) X(free) X(easy_init) X(easy_cleanup) X(easy_setopt) X(easy_getinfo) X(easy_strerror)    \
  X(easy_escape) X(easy_unescape) X(slist_append) X(slist_free_all) X(multi_init) X(multi_cleanup)                  \
  X(multi_add_handle) X(multi_remove_handle) X(multi_perform) X(multi_info_read) X(multi_poll)
struct CurlCalls {
#define VELLOMAR_CURL_CALL(name) decltype(&::curl_##name) name = nullptr;
  VELLOMAR_CURL_CALLS(VELLOMAR_CURL_CALL)
#undef VELLOMAR_CURL_CALL
  bool ready = false;
  std::string problem;
};

// The library as Debian's libcurl4 installs it, loaded and set up once (its set-up is not safe
// to run twice at once) and kept for the life of the process.
const CurlCalls& Curl() {
  static const CurlCalls calls = [] {
    CurlCalls loaded;
    SharedLibrary library = SharedLibrary::Open("libcurl.so.4", loaded.problem);
    if (!library) return loaded;
    bool complete = true;
#define VELLOMAR_CURL_CALL(name) complete = Bind(library, "curl_" #name, loaded.name) && complete;
    VELLOMAR_CURL_CALLS(VELLOMAR_CURL_CALL)
#undef VELLOMAR_CURL_CALL
    if (!complete) {
      loaded.problem = "libcurl.so.4 is older than this program needs";
      return loaded;
    }
    library.Keep();
    loaded.ready = loaded.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!loaded.ready) loaded.problem = "the HTTP library could not be set up";
    return loaded;
  }();
  return calls;
}

struct EasyFree {
  void operator()(CURL* easy) const { Curl().easy_cleanup(easy); }
};
struct MultiFree {
  void operator()(CURLM* multi) const { (void)Curl().multi_cleanup(multi); }  // fails only for a bad handle
};
struct ListFree {
  void operator()(curl_slist* list) const { Curl().slist_free_all(list); }
};
struct TextFree {
  void operator()(char* text) const { Curl().free(text); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using Multi = std::unique_ptr<CURLM, MultiFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using CurlText = std::unique_ptr<char, TextFree>;

// What one transfer collects while it runs.
struct Transfer {
  const StopFlag& stop;
  size_t limit;
  std::string body;
  bool tooLarge = false;
  std::vector<std::pair<std::string, std::string>> headers{};
  size_t headerBytes = 0;
};

// One header line of the reply ("Name: value\r\n"); the status line and the empty line end up
// as no field. A new reply (after a 100 Continue) starts its fields afresh.
size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t length = size * count;
  std::string line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    transfer->headers.clear();
    return length;
  }
  const size_t colon = line.find(':');
  transfer->headerBytes += length;
  if (colon == std::string::npos || transfer->headerBytes > transfer->limit) return length;
  std::string name = line.substr(0, colon);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t first = line.find_first_not_of(" \t", colon + 1);
  const size_t last = line.find_last_not_of(" \t\r\n");
  std::string value = first == std::string::npos || last < first ? "" : line.substr(first, last - first + 1);
  transfer->headers.emplace_back(std::move(name), std::move(value));
  return length;
}

size_t TakeBody(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  size_t length = size * count;
  if (transfer->body.size() + length > transfer->limit) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  transfer->body.append(data, length);
  return length;
}

int CheckStop(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(context)->stop.load() ? 1 : 0;
}

bool AppendHeader(HeaderList& list, const std::string& line) {
  curl_slist* longer = Curl().slist_append(list.get(), line.c_str());
  if (longer == nullptr) return false;
  (void)list.release();  // the longer list starts with the same node
  list.reset(longer);
  return true;
}

HttpResult Failed(int error, std::string reason) {
  HttpResult result;
  result.error = error;
  result.reason = std::move(reason);
  return result;
}

int ErrorFor(CURLcode code, const Transfer& transfer) {
  switch (code) {
    case CURLE_ABORTED_BY_CALLBACK:
      return ECANCELED;
    case CURLE_OPERATION_TIMEDOUT:
      return ETIMEDOUT;
    case CURLE_COULDNT_CONNECT:
      return ECONNREFUSED;
    case CURLE_COULDNT_RESOLVE_HOST:
      return EHOSTUNREACH;
    case CURLE_WRITE_ERROR:
      return transfer.tooLarge ? EFBIG : EPROTO;
    default:
      return EPROTO;
  }
}

void Configure(CURL* easy, const HttpClient::Options& options, Transfer& transfer, curl_slist* headers,
               char* errors) {
  auto setopt = Curl().easy_setopt;
  setopt(easy, CURLOPT_NOSIGNAL, 1L);
  setopt(easy, CURLOPT_ERRORBUFFER, errors);
  setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (!options.authorityFile.empty()) setopt(easy, CURLOPT_CAINFO, options.authorityFile.c_str());
  setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect.count()));
  setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.whole.count()));
  setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxReply));
  setopt(easy, CURLOPT_USERAGENT, "Vellomar");
  setopt(easy, CURLOPT_HTTPHEADER, headers);
  setopt(easy, CURLOPT_WRITEFUNCTION, TakeBody);
  setopt(easy, CURLOPT_WRITEDATA, &transfer);
  setopt(easy, CURLOPT_HEADERFUNCTION, TakeHeader);
  setopt(easy, CURLOPT_HEADERDATA, &transfer);
  setopt(easy, CURLOPT_NOPROGRESS, 0L);
  setopt(easy, CURLOPT_XFERINFOFUNCTION, CheckStop);
  setopt(easy, CURLOPT_XFERINFODATA, &transfer);
}

// Runs the transfer, looking at the stop flag between slices of waiting on its sockets: the
// progress callback alone may be called only once a second while a connect hangs.
CURLcode Run(CURL* easy, const StopFlag& stop) {
  const CurlCalls& curl = Curl();
  Multi multi(curl.multi_init());
  if (!multi || curl.multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  for (int running = 1; running != 0;) {
    if (stop.load()) break;
    if (curl.multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl.multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) result = message->data.result;
    }
    if (running != 0 && curl.multi_poll(multi.get(), nullptr, 0, kStopSliceMs, nullptr) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
  }
  (void)curl.multi_remove_handle(multi.get(), easy);  // fails only for a handle not added
  return result;
}

}  // namespace

HttpClient::HttpClient(Options options) : options_(std::move(options)) {}

HttpResult HttpClient::PostForm(const std::string& url, const FormFields& fields, const StopFlag& stop) const {
  if (!Curl().ready) return Failed(ELIBACC, Curl().problem);
  return Perform("POST", url, {"Accept: application/json"}, EncodeForm(fields), stop);
}

HttpResult HttpClient::Post(const std::string& url, const std::vector<std::string>& headers, const std::string& body,
                            const StopFlag& stop) const {
  return Perform("POST", url, headers, body, stop);
}

HttpResult HttpClient::Request(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headers, const std::string& body,
                               const StopFlag& stop) const {
  return Perform(method, url, headers, body, stop);
}

HttpResult HttpClient::Perform(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headerLines, const std::string& body,
                               const StopFlag& stop) const {
  const CurlCalls& curl = Curl();
  if (!curl.ready) return Failed(ELIBACC, curl.problem);
  Easy easy(curl.easy_init());
  HeaderList headers;
  bool listed = true;
  // "Expect: 100-continue" would hold a large body back for a second for nothing.
  for (const std::string& line : headerLines) listed = listed && AppendHeader(headers, line);
  if (!easy || !listed || !AppendHeader(headers, "Expect:")) return Failed(ENOMEM, "out of memory");
  Transfer transfer{stop, options_.maxReply, {}, false};
  char errors[CURL_ERROR_SIZE] = {};
  Configure(easy.get(), options_, transfer, headers.get(), errors);
  curl.easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl.easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl.easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.data());  // `body` outlives the transfer
  // The body is set up as a POST's; another method only changes the request line.
  if (method != "POST") curl.easy_setopt(easy.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  CURLcode code = Run(easy.get(), stop);
  // A reply that announces its length is refused before its body comes.
  if (code == CURLE_FILESIZE_EXCEEDED) {
    transfer.tooLarge = true;
    code = CURLE_WRITE_ERROR;
  }
  if (code != CURLE_OK) {
    int error = ErrorFor(code, transfer);
    if (error == ECANCELED) return Failed(error, "stopped");
    if (error == EFBIG) return Failed(error, "reply larger than " + std::to_string(options_.maxReply) + " bytes");
    return Failed(error, errors[0] != '\0' ? errors : curl.easy_strerror(code));
  }
  HttpResult result;
  curl.easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &result.status);
  result.body = std::move(transfer.body);
  result.headers = std::move(transfer.headers);
  return result;
}

std::string HttpResult::Header(const std::string& name) const {
  for (const auto& [field, value] : headers) {
    if (field == name) return value;
  }
  return "";
}

std::string EncodeForm(const FormFields& fields) {
  std::string text;
  const CurlCalls& curl = Curl();
  if (!curl.ready) return text;
  for (const auto& [name, value] : fields) {
    CurlText escapedName(curl.easy_escape(nullptr, name.data(), static_cast<int>(name.size())));
    CurlText escapedValue(curl.easy_escape(nullptr, value.data(), static_cast<int>(value.size())));
    if (!escapedName || !escapedValue) continue;
    if (!text.empty()) text += '&';
    text += escapedName.get();
    text += '=';
    text += escapedValue.get();
  }
  return text;
}

namespace {

bool Unescape(std::string text, std::string& plain) {
  for (char& c : text) {
    if (c == '+') c = ' ';
  }
  const CurlCalls& curl = Curl();
  if (!curl.ready) return false;
  int length = 0;
  CurlText decoded(curl.easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length));
  if (!decoded) return false;
  plain.assign(decoded.get(), static_cast<size_t>(length));
  return true;
}

}  // namespace

FormFields DecodeForm(const std::string& text) {
  FormFields fields;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string field = text.substr(start, end - start);
    size_t equals = field.find('=');
    std::string name, value;
    if (!field.empty() && Unescape(field.substr(0, equals), name) &&
        (equals == std::string::npos || Unescape(field.substr(equals + 1), value))) {
      fields.emplace_back(std::move(name), std::move(value));
    }
    start = end + 1;
  }
  return fields;
}

std::string HttpLibraryVersion() {
  const CurlCalls& curl = Curl();
  return curl.ready ? curl.version() : curl.problem;
}

}  // namespace vellomar
