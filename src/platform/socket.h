#pragma once

#include <cstdint>
#include <string>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

// One thin wrapper per socket call: the value or the errno, no policy. Sends never raise
// SIGPIPE (MSG_NOSIGNAL).
ErrorOr<FileDescriptor> CreateTcpSocket();
Status SetReuseAddress(int fd);
Status BindAnyIpv4(int fd, uint16_t port);
Status ListenOn(int fd, int backlog);
ErrorOr<uint16_t> LocalPort(int fd);
// True when the socket is readable (or hung up) within the time, false when the time ran out.
ErrorOr<bool> WaitReadable(int fd, int timeoutMs);
ErrorOr<FileDescriptor> AcceptConnection(int fd);
ErrorOr<size_t> ReceiveSome(int fd, char* buffer, size_t size);
// One send call; the count it reports may be short.
ErrorOr<size_t> SendOnce(int fd, const char* data, size_t size);
Status ShutdownBoth(int fd);

// The official name the resolver gives for `name`; a getaddrinfo error code on failure.
ErrorOr<std::string> CanonicalHostName(const std::string& name);
ErrorOr<std::string> MachineHostName();

}  // namespace vellomar
