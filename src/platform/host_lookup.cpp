#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace vellomar {

namespace {

// One lookup as the library sees it: every pointer it was given stays valid while it runs.
struct Request {
  std::string host;
  addrinfo hints{};
  gaicb block{};
};

// Requests the library may still be working on. Reachable until the program ends, so that
// neither the library nor a leak checker ever finds them freed.
std::mutex abandonedLock;
std::vector<Request*>* abandoned = new std::vector<Request*>();

ErrorOr<sockaddr_in> Answer(Request& request, uint16_t port) {
  addrinfo* found = request.block.ar_result;
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  if (found == nullptr || found->ai_addrlen < sizeof(sockaddr_in)) return ErrorOr<sockaddr_in>::Fail(EAI_NONAME);
  sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  address.sin_port = htons(port);
  return address;
}

void Abandon(std::unique_ptr<Request> request) {
  int cancelled = ::gai_cancel(&request->block);
  if (cancelled == EAI_CANCELED) return;
  if (cancelled == EAI_ALLDONE) {
    if (::gai_error(&request->block) == 0) ::freeaddrinfo(request->block.ar_result);
    return;
  }
  std::lock_guard<std::mutex> guard(abandonedLock);
  abandoned->push_back(request.release());
}

}  // namespace

ErrorOr<sockaddr_in> LookUpIpv4(const std::string& host, uint16_t port, const std::function<bool()>& abandon) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return address;
  auto request = std::make_unique<Request>();
  request->host = host;
  request->hints.ai_family = AF_INET;
  request->hints.ai_socktype = SOCK_STREAM;
  request->block.ar_name = request->host.c_str();
  request->block.ar_request = &request->hints;
  gaicb* list[] = {&request->block};
  int started = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (started != 0) return ErrorOr<sockaddr_in>::Fail(started);
  const timespec slice{0, 100 * 1000 * 1000};
  for (;;) {
    int state = ::gai_error(&request->block);
    if (state == 0) return Answer(*request, port);
    if (state != EAI_INPROGRESS) return ErrorOr<sockaddr_in>::Fail(state);
    if (abandon && abandon()) {
      Abandon(std::move(request));
      return ErrorOr<sockaddr_in>::Fail(EAI_CANCELED);
    }
    ::gai_suspend(list, 1, &slice);
  }
}

}  // namespace vellomar
