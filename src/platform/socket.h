#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "platform/socket_address.h"

namespace vellomar {

// One thin wrapper per socket call: the value or the errno, no policy. Sends never raise
// SIGPIPE (MSG_NOSIGNAL).
// Non-blocking from its creation when asked (one call instead of three for a connect).
ErrorOr<FileDescriptor> CreateTcpSocket(int family = AF_INET, bool nonBlocking = false);
Status SetReuseAddress(int fd);
// Sends each small write at once instead of waiting for the peer's acknowledgement.
Status SetNoDelay(int fd);
// SO_SNDTIMEO: a send that cannot go on for this long fails with EAGAIN; 0 waits for good.
Status SetSendTimeout(int fd, std::chrono::milliseconds limit);
// IPV6_V6ONLY: off lets an IPv6 socket take IPv4 peers too, as IPv4-mapped addresses.
Status SetIpv6Only(int fd, bool on);
// Binds to every local address of the family (AF_INET or AF_INET6).
Status BindAny(int fd, int family, uint16_t port);
// Binds an AF_INET socket to 127.0.0.1 alone.
Status BindLoopback(int fd, uint16_t port);
Status ListenOn(int fd, int backlog);
ErrorOr<uint16_t> LocalPort(int fd);
// True when the socket is readable (or hung up) within the time, false when the time ran out.
ErrorOr<bool> WaitReadable(int fd, int timeoutMs);
// The index of the first of `fds` that is readable (or hung up) within the time; fds.size()
// when the time ran out.
ErrorOr<size_t> WaitAnyReadable(const std::vector<int>& fds, int timeoutMs);
// True when the socket can take more data (or failed) within the time.
ErrorOr<bool> WaitWritable(int fd, int timeoutMs);
Status SetNonBlocking(int fd, bool on);
struct AcceptedConnection {
  FileDescriptor socket;
  sockaddr_storage peer{};
};
ErrorOr<AcceptedConnection> AcceptConnection(int fd);
ErrorOr<size_t> ReceiveSome(int fd, char* buffer, size_t size);
// One send call; the count it reports may be short.
ErrorOr<size_t> SendOnce(int fd, const char* data, size_t size);
// One send call that takes what fits now, without waiting; EAGAIN when nothing does.
ErrorOr<size_t> SendWhatFits(int fd, const char* data, size_t size);
Status ShutdownBoth(int fd);

// The official name the resolver gives for `name`; a resolver (getaddrinfo) error on failure.
ErrorOr<std::string> CanonicalHostName(const std::string& name);
ErrorOr<std::string> MachineHostName();

}  // namespace vellomar

#include <netinet/in.h>

#include <chrono>
#include <functional>

namespace vellomar {

// Connects the socket within the time; ETIMEDOUT when it did not, ECANCELED when `abandon`
// (asked every 100 ms) said so first. The socket is blocking again after. Made on a socket
// the caller already holds, so that a cancel hook can shut it down from the start.
Status ConnectWithin(int fd, const SocketAddress& address, std::chrono::milliseconds timeout,
                     const std::function<bool()>& abandon);

// Starts a connect on a non-blocking socket (CreateTcpSocket(family, true)): true when it connected at once, false
// when it is under way (its end is known once the socket is writable), or the error.
ErrorOr<bool> BeginConnect(int fd, const SocketAddress& address);
// How a connect under way ended, once the socket is writable: Ok when it is connected.
Status ConnectOutcome(int fd);
// The index of the first of `fds` that is writable (or failed) within the time; fds.size()
// when the time ran out.
ErrorOr<size_t> WaitAnyWritable(const std::vector<int>& fds, int timeoutMs);
// The local address the system would send from to reach `destination` (a UDP socket connected
// to it, so nothing goes out); ENETUNREACH and the like when there is no way there.
ErrorOr<SocketAddress> SourceAddressFor(const SocketAddress& destination);

ErrorOr<FileDescriptor> CreateUdpSocket(int family = AF_INET);
Status SendDatagram(int fd, const void* data, size_t size, const SocketAddress& to);
// One datagram, with the address it came from.
ErrorOr<size_t> ReceiveDatagram(int fd, void* buffer, size_t size, SocketAddress& from);

}  // namespace vellomar
