#include "platform/socket.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace vellomar {

ErrorOr<FileDescriptor> CreateTcpSocket(int family, bool nonBlocking) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_TCP);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  return FileDescriptor(fd);
}

Status SetReuseAddress(int fd) {
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return FailWith(errno);
  return Ok();
}

Status SetNoDelay(int fd) {
  int on = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return FailWith(errno);
  return Ok();
}

Status SetSendTimeout(int fd, std::chrono::milliseconds limit) {
  timeval value{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) return FailWith(errno);
  return Ok();
}

Status SetIpv6Only(int fd, bool on) {
  int value = on ? 1 : 0;
  if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) != 0) return FailWith(errno);
  return Ok();
}

Status BindAny(int fd, int family, uint16_t port) {
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET6) {
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_addr = in6addr_any;
    ipv6.sin6_port = htons(port);
    length = sizeof ipv6;
  } else {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = htonl(INADDR_ANY);
    ipv4.sin_port = htons(port);
    length = sizeof ipv4;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return FailWith(errno);
  return Ok();
}

Status BindLoopback(int fd, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return FailWith(errno);
  return Ok();
}

Status ListenOn(int fd, int backlog) {
  if (::listen(fd, backlog) != 0) return FailWith(errno);
  return Ok();
}

ErrorOr<uint16_t> LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return ErrorOr<uint16_t>::Fail(errno);
  }
  // The port sits at the same place in both families' addresses.
  return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

namespace {

ErrorOr<bool> WaitFor(int fd, short events, int timeoutMs) {
  pollfd watched{fd, events, 0};
  int ready;
  do {
    ready = ::poll(&watched, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return ErrorOr<bool>::Fail(errno);
  return ready > 0;
}

// The index of the first of `fds` ready for `events` (or hung up), `fds.size()` on time-out.
ErrorOr<size_t> WaitAny(const std::vector<int>& fds, short events, int timeoutMs) {
  std::vector<pollfd> watched;
  for (int fd : fds) watched.push_back(pollfd{fd, events, 0});
  int ready;
  do {
    ready = ::poll(watched.data(), watched.size(), timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return ErrorOr<size_t>::Fail(errno);
  for (size_t i = 0; i < watched.size(); ++i) {
    if (watched[i].revents != 0) return i;
  }
  return watched.size();
}

}  // namespace

ErrorOr<bool> WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }

ErrorOr<bool> WaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

ErrorOr<size_t> WaitAnyReadable(const std::vector<int>& fds, int timeoutMs) { return WaitAny(fds, POLLIN, timeoutMs); }

Status SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return FailWith(errno);
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, flags) < 0) return FailWith(errno);
  return Ok();
}

ErrorOr<AcceptedConnection> AcceptConnection(int fd) {
  AcceptedConnection accepted;
  socklen_t length = sizeof accepted.peer;
  int socket = ::accept4(fd, reinterpret_cast<sockaddr*>(&accepted.peer), &length, SOCK_CLOEXEC);
  if (socket < 0) return ErrorOr<AcceptedConnection>::Fail(errno);
  accepted.socket = FileDescriptor(socket);
  return accepted;
}

ErrorOr<size_t> ReceiveSome(int fd, char* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::recv(fd, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return ErrorOr<size_t>::Fail(errno);
  return static_cast<size_t>(got);
}

ErrorOr<size_t> SendOnce(int fd, const char* data, size_t size) {
  ssize_t put;
  do {
    put = ::send(fd, data, size, MSG_NOSIGNAL);
  } while (put < 0 && errno == EINTR);
  if (put < 0) return ErrorOr<size_t>::Fail(errno);
  return static_cast<size_t>(put);
}

ErrorOr<size_t> SendWhatFits(int fd, const char* data, size_t size) {
  ssize_t put;
  do {
    put = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (put < 0 && errno == EINTR);
  if (put < 0) return ErrorOr<size_t>::Fail(errno);
  return static_cast<size_t>(put);
}

Status ShutdownBoth(int fd) {
  if (::shutdown(fd, SHUT_RDWR) != 0) return FailWith(errno);
  return Ok();
}

ErrorOr<std::string> CanonicalHostName(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  // EAI_SYSTEM says only that the real cause is in errno.
  if (error == EAI_SYSTEM && errno != 0) return ErrorOr<std::string>::Fail(errno);
  if (error != 0) return ErrorOr<std::string>::Fail(ResolverError(error));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  if (found == nullptr || found->ai_canonname == nullptr) return ErrorOr<std::string>::Fail(ResolverError(EAI_NONAME));
  return std::string(found->ai_canonname);
}

ErrorOr<std::string> MachineHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return ErrorOr<std::string>::Fail(errno);
  return std::string(name);
}

}  // namespace vellomar

#include <fcntl.h>

namespace vellomar {

namespace {

constexpr std::chrono::milliseconds kAbandonSlice{100};

// Waits for the connect's end in slices; 0 when the time ran out or it was abandoned.
int AwaitConnect(pollfd& watched, std::chrono::milliseconds timeout, const std::function<bool()>& abandon,
                 bool& abandoned) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    if (abandon && abandon()) {
      abandoned = true;
      return 0;
    }
    int ready = ::poll(&watched, 1, static_cast<int>(std::min(left, kAbandonSlice).count()));
    if (ready != 0 && !(ready < 0 && errno == EINTR)) return ready;
  }
}

}  // namespace

Status ConnectWithin(int fd, const SocketAddress& address, std::chrono::milliseconds timeout,
                     const std::function<bool()>& abandon) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, address.get(), address.length()) != 0) {
    if (errno != EINPROGRESS) return FailWith(errno);
    pollfd watched{fd, POLLOUT, 0};
    bool abandoned = false;
    int ready = AwaitConnect(watched, timeout, abandon, abandoned);
    if (ready == 0) return FailWith(abandoned ? ECANCELED : ETIMEDOUT);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    // A shutdown while connecting leaves no error behind, and no connection either.
    if (error == 0 && (watched.revents & POLLHUP) != 0) error = ECONNABORTED;
    if (error != 0) return FailWith(error);
  }
  ::fcntl(fd, F_SETFL, flags);
  return Ok();
}

ErrorOr<bool> BeginConnect(int fd, const SocketAddress& address) {
  if (::connect(fd, address.get(), address.length()) == 0) return true;
  if (errno == EINPROGRESS) return false;
  return ErrorOr<bool>::Fail(errno);
}

Status ConnectOutcome(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FailWith(errno);
  if (error != 0) return FailWith(error);
  // A shutdown while connecting leaves no error behind, and no connection either.
  sockaddr_storage peer{};
  length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return FailWith(ECONNABORTED);
  return Ok();
}

ErrorOr<size_t> WaitAnyWritable(const std::vector<int>& fds, int timeoutMs) { return WaitAny(fds, POLLOUT, timeoutMs); }

ErrorOr<SocketAddress> SourceAddressFor(const SocketAddress& destination) {
  FileDescriptor probe(::socket(destination.family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!probe.valid()) return ErrorOr<SocketAddress>::Fail(errno);
  if (::connect(probe.get(), destination.get(), destination.length()) != 0) return ErrorOr<SocketAddress>::Fail(errno);
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return ErrorOr<SocketAddress>::Fail(errno);
  }
  auto source = SocketAddress::From(reinterpret_cast<const sockaddr*>(&local), length);
  if (!source) return ErrorOr<SocketAddress>::Fail(EAFNOSUPPORT);
  return *source;
}

ErrorOr<FileDescriptor> CreateUdpSocket(int family) {
  int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  return FileDescriptor(fd);
}

Status SendDatagram(int fd, const void* data, size_t size, const SocketAddress& to) {
  ssize_t sent = ::sendto(fd, data, size, MSG_NOSIGNAL, to.get(), to.length());
  if (sent < 0) return FailWith(errno);
  return Ok();
}

ErrorOr<size_t> ReceiveDatagram(int fd, void* buffer, size_t size, SocketAddress& from) {
  sockaddr_storage source{};
  socklen_t length = sizeof source;
  ssize_t got;
  do {
    got = ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&source), &length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return ErrorOr<size_t>::Fail(errno);
  from = SocketAddress::From(reinterpret_cast<const sockaddr*>(&source), length).value_or(SocketAddress());
  return static_cast<size_t>(got);
}

}  // namespace vellomar
