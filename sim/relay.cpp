#include "sim/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sim {

namespace {

bool loopback_address(const std::string& host, struct in_addr& out) {
    if (inet_pton(AF_INET, host.c_str(), &out) != 1)
        return false;
    return (ntohl(out.s_addr) >> 24) == 127;
}

}  // namespace

std::shared_ptr<relay> relay::open(const std::string& host, std::uint16_t port, report on_event) {
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (port == 0 || !loopback_address(host, address.sin_addr))
        return nullptr;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // Non-blocking, so that the caller's lock is never held across a handshake; the
    // thread learns the outcome.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return nullptr;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        close(fd);
        return nullptr;
    }
    std::shared_ptr<relay> r(new relay(fd, wake, std::move(on_event)));
    try {
        r->thread_ = std::thread([raw = r.get()] { raw->run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return r;
}

relay::relay(int fd, int wake, report on_event)
    : fd_(fd), wake_(wake), on_event_(std::move(on_event)) {}

relay::~relay() {
    stop();
    close(fd_);
    close(wake_);
}

void relay::poke() {
    const std::uint64_t one = 1;
    while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void relay::send(const std::uint8_t* bytes, std::size_t length) {
    {
        std::lock_guard lock(mutex_);
        out_.insert(out_.end(), bytes, bytes + length);
    }
    poke();
}

void relay::finish() {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    poke();
}

void relay::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    poke();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void relay::run() {
    bool connected = false;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        bool want_write = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                // What the host sent before its close still goes out, as far as the socket
                // takes it at once.
                if (finishing_ && !out_.empty()) {
                    struct pollfd ready = {fd_, POLLOUT, 0};
                    if (connected || poll(&ready, 1, 1000) == 1)
                        ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                shutdown(fd_, SHUT_RDWR);
                return;
            }
            want_write = !out_.empty();
            if (connected && finishing_ && !want_write) {
                shutdown(fd_, SHUT_RDWR);
                return;
            }
        }
        short events = POLLIN;
        if (!connected || want_write)
            events |= POLLOUT;
        struct pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            on_event_(this, {}, true);
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            while (read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            continue;
        }
        if (!connected) {
            if (!(fds[0].revents & (POLLOUT | POLLERR | POLLHUP)))
                continue;
            int error = 0;
            socklen_t size = sizeof error;
            if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
                on_event_(this, {}, true);
                return;
            }
            connected = true;
            continue;
        }
        if (fds[0].revents & POLLOUT) {
            bool failed = false;
            {
                std::lock_guard lock(mutex_);
                const ssize_t sent = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
                if (sent > 0)
                    out_.erase(out_.begin(), out_.begin() + sent);
                failed = sent < 0 && errno != EAGAIN && errno != EINTR;
            }
            if (failed) {
                on_event_(this, {}, true);
                return;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = read(fd_, buffer.data(), buffer.size());
            if (got > 0) {
                on_event_(this, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got),
                          false);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                on_event_(this, {}, true);
                return;
            }
        }
    }
}

}  // namespace sim
