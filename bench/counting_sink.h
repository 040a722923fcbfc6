#pragma once

// A next relay for the benchmarks, on 127.0.0.1: one thread serves every connection through
// poll, accepts every command, throws the data away and counts the bytes, the messages (each
// end-of-data line answered 250), the time of the last one, and the messages whose Subject
// line it has seen before (a message relayed twice). Stops at destruction.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

class CountingSink {
 public:
  using Clock = std::chrono::steady_clock;

  CountingSink() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, SOMAXCONN);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CountingSink() {
    stopping_ = true;
    thread_.join();
    for (const Peer& peer : peers_) ::close(peer.fd);
    ::close(listener_);
  }
  CountingSink(const CountingSink&) = delete;
  CountingSink& operator=(const CountingSink&) = delete;

  int port() const { return port_; }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  long long bytes() const { return bytes_; }
  long messages() const { return messages_; }
  long repeated() const { return repeated_; }
  Clock::time_point lastMessage() const { return Clock::time_point(Clock::duration(lastMessage_.load())); }

 private:
  struct Peer {
    int fd;
    std::string line;
    bool data = false;
    std::string subject;
  };

  static void Say(int fd, const char* text) { ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); }

  void Serve() {
    while (!stopping_) {
      std::vector<pollfd> watched{{listener_, POLLIN, 0}};
      for (const Peer& peer : peers_) watched.push_back({peer.fd, POLLIN, 0});
      if (::poll(watched.data(), watched.size(), 20) <= 0) continue;
      // Served from the back, so that closing a peer moves none still to be served.
      for (size_t i = watched.size() - 1; i > 0; --i) {
        if (watched[i].revents != 0 && !Receive(peers_[i - 1])) {
          ::close(peers_[i - 1].fd);
          peers_.erase(peers_.begin() + static_cast<long>(i - 1));
        }
      }
      if (watched[0].revents & POLLIN) {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        Say(fd, "220 sink\r\n");
        peers_.push_back({fd, std::string(), false, std::string()});
      }
    }
  }

  // False when the peer has gone.
  bool Receive(Peer& peer) {
    char buffer[65536];
    ssize_t got = ::recv(peer.fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    bytes_ += got;
    for (ssize_t i = 0; i < got; ++i) {
      peer.line += buffer[i];
      if (buffer[i] == '\n') Answer(peer);
    }
    return true;
  }

  void Answer(Peer& peer) {
    if (peer.data) {
      if (peer.subject.empty() && peer.line.rfind("Subject: ", 0) == 0) peer.subject = peer.line;
      if (peer.line == ".\r\n") {
        peer.data = false;
        if (!peer.subject.empty() && !subjects_.insert(peer.subject).second) ++repeated_;
        peer.subject.clear();
        ++messages_;
        lastMessage_ = Clock::now().time_since_epoch().count();
        Say(peer.fd, "250 ok\r\n");
      }
    } else if (peer.line.rfind("DATA", 0) == 0) {
      peer.data = true;
      Say(peer.fd, "354 go\r\n");
    } else {
      Say(peer.fd, peer.line.rfind("QUIT", 0) == 0 ? "221 bye\r\n" : "250 ok\r\n");
    }
    peer.line.clear();
  }

  int listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long long> bytes_{0};
  std::atomic<long> messages_{0};
  std::atomic<Clock::rep> lastMessage_{0};
  std::atomic<long> repeated_{0};
  // The serving thread's alone.
  std::vector<Peer> peers_;
  std::unordered_set<std::string> subjects_;
  std::thread thread_;
};
