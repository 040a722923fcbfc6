#include "platform/http_client.h"

#include <curl/curl.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/stop_flag.h"

namespace vellomar {

namespace {

// How often a request looks at the stop flag while nothing happens on its sockets.
constexpr int kStopSliceMs = 100;

struct EasyFree {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiFree {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct TextFree {
  void operator()(char* text) const { curl_free(text); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using Multi = std::unique_ptr<CURLM, MultiFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using CurlText = std::unique_ptr<char, TextFree>;

// The library's set-up is not safe to run twice at once, so it runs once, on first use.
bool LibraryReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

// What one transfer collects while it runs.
struct Transfer {
  const StopFlag& stop;
  size_t limit;
  std::string body;
  bool tooLarge = false;
};

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
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errors);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (!options.authorityFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.authorityFile.c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.whole.count()));
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxReply));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "Vellomar");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, TakeBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, CheckStop);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
}

// Runs the transfer, looking at the stop flag between slices of waiting on its sockets: the
// progress callback alone may be called only once a second while a connect hangs.
CURLcode Run(CURL* easy, const StopFlag& stop) {
  Multi multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  for (int running = 1; running != 0;) {
    if (stop.load()) break;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) result = message->data.result;
    }
    if (running != 0 && curl_multi_poll(multi.get(), nullptr, 0, kStopSliceMs, nullptr) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
  }
  (void)curl_multi_remove_handle(multi.get(), easy);  // fails only for a handle not added
  return result;
}

}  // namespace

HttpClient::HttpClient(Options options) : options_(std::move(options)) {}

HttpResult HttpClient::PostForm(const std::string& url, const FormFields& fields, const StopFlag& stop) const {
  if (!LibraryReady()) return Failed(EPROTO, "the HTTP library could not be set up");
  Easy easy(curl_easy_init());
  HeaderList headers(curl_slist_append(nullptr, "Accept: application/json"));
  if (!easy || !headers) return Failed(ENOMEM, "out of memory");
  Transfer transfer{stop, options_.maxReply, {}, false};
  char errors[CURL_ERROR_SIZE] = {};
  Configure(easy.get(), options_, transfer, headers.get(), errors);
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_COPYPOSTFIELDS, EncodeForm(fields).c_str());
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
    return Failed(error, errors[0] != '\0' ? errors : curl_easy_strerror(code));
  }
  HttpResult result;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &result.status);
  result.body = std::move(transfer.body);
  return result;
}

std::string EncodeForm(const FormFields& fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    CurlText escapedName(curl_easy_escape(nullptr, name.data(), static_cast<int>(name.size())));
    CurlText escapedValue(curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())));
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
  int length = 0;
  CurlText decoded(curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length));
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

std::string HttpLibraryVersion() { return curl_version(); }

}  // namespace vellomar
