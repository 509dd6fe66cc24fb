// TCP on 127.0.0.1 for tests and benchmarks of the tunnel: clients, and an echo server that
// stands for a server behind the array's relays. Run them in a network of their own
// (network.h).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rig {

/// A descriptor the caller owns.
class socket_fd {
  public:
    explicit socket_fd(int fd = -1) : fd_(fd) {}
    ~socket_fd();
    socket_fd(socket_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    socket_fd& operator=(socket_fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in loopback(std::uint16_t port);

/// The local port of a bound socket.
std::uint16_t local_port(int fd);

/// A blocking connection to 127.0.0.1:`port`, from local port `from` when not 0. A failure
/// is a test failure (the descriptor is then useless).
socket_fd connect_to(std::uint16_t port, std::uint16_t from = 0);

/// Sends every byte; false when the connection failed first. Never raises SIGPIPE.
bool send_all(int fd, const std::string& data);

/// Reads until `size` bytes came, the peer closed, or `timeout` passed.
std::string receive(int fd, std::size_t size,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));

/// True once the peer has closed the connection (end of stream or reset) within `timeout`;
/// bytes still to read are discarded.
bool closed_by_peer(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(20));

/// Sends `data` while reading as many bytes back; returns what came back (short when the
/// peer closed or `timeout` passed). Leaves the socket non-blocking.
std::string exchange(int fd, const std::string& data,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

/// Pseudo-random bytes, the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

/// A TCP echo server on 127.0.0.1 (port chosen by the system), one thread per connection.
class echo_server {
  public:
    echo_server();
    ~echo_server();
    echo_server(const echo_server&) = delete;
    echo_server& operator=(const echo_server&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    void serve();
    void echo(int fd);

    socket_fd listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // touched by the acceptor until it has ended
};

}  // namespace rig
