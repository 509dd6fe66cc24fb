#include "tests/support/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace rig {

namespace {

bool before(std::chrono::steady_clock::time_point end) {
    return std::chrono::steady_clock::now() < end;
}

// Waits up to 100 ms for `events`; the events that came.
short wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 100) > 0 ? p.revents : 0;
}

}  // namespace

socket_fd::~socket_fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t local_port(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

socket_fd connect_to(std::uint16_t port, std::uint16_t from) {
    socket_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (from != 0) {
        const sockaddr_in local = loopback(from);
        if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            ADD_FAILURE() << "bind to port " << from << ": " << std::strerror(errno);
    }
    const sockaddr_in address = loopback(port);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
    return s;
}

bool send_all(int fd, const std::string& data) {
    for (std::size_t at = 0; at < data.size();) {
        const ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

std::string receive(int fd, std::size_t size, std::chrono::milliseconds timeout) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    char chunk[65536];
    while (got.size() < size && before(end)) {
        if (wait_for(fd, POLLIN) == 0)
            continue;
        const ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, size - got.size()), 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

bool closed_by_peer(int fd, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    char chunk[65536];
    while (before(end)) {
        if (wait_for(fd, POLLIN) != 0 && ::recv(fd, chunk, sizeof chunk, 0) <= 0)
            return true;
    }
    return false;
}

std::string exchange(int fd, const std::string& data, std::chrono::milliseconds timeout) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string back;
    std::size_t sent = 0;
    char chunk[65536];
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (back.size() < data.size() && before(end)) {
        const short events = wait_for(fd, POLLIN | (sent < data.size() ? POLLOUT : 0));
        if ((events & POLLOUT) && sent < data.size()) {
            const std::size_t size = std::min<std::size_t>(data.size() - sent, sizeof chunk);
            const ssize_t n = ::send(fd, data.data() + sent, size, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        if (events & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            if (n > 0)
                back.append(chunk, static_cast<std::size_t>(n));
        }
    }
    return back;
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

echo_server::echo_server() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in address = loopback(0);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 64) != 0)
        ADD_FAILURE() << "echo server: " << std::strerror(errno);
    port_ = local_port(listener_.get());
    acceptor_ = std::thread([this] { serve(); });
}

echo_server::~echo_server() {
    stopping_.store(true);
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    for (std::thread& t : connections_)
        t.join();
}

void echo_server::serve() {
    for (;;) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        connections_.emplace_back([this, fd] { echo(fd); });
    }
}

void echo_server::echo(int fd) {
    // Large reads and no Nagle delay, so that the benchmarks' direct side runs at loopback's
    // own speed.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<char> chunk(1u << 20);
    while (!stopping_.load()) {
        if (wait_for(fd, POLLIN) == 0)
            continue;
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n <= 0 || !send_all(fd, std::string(chunk.data(), static_cast<std::size_t>(n))))
            break;
    }
    ::close(fd);
}

}  // namespace rig
