// Listening ports and tunnel connections.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "channel/frames.h"
#include "ground/clock.h"
#include "ground/fatal.h"
#include "ground/log.h"
#include "tunnel/tunnel.h"

namespace {

// Printed on standard output, then logged with the same text.
void say_and_log(const char* format, int port, const char* error) {
    std::printf(format, port, error);
    agent_log(format, port, error);
}

[[noreturn]] void fail_port(const char* format, int port, bool print) {
    const char* error = std::strerror(errno);
    if (print)
        say_and_log(format, port, error);
    else
        agent_log(format, port, error);
    std::exit(1);
}

[[noreturn]] void fail_allocation() {
    const char* message = "Cannot allocate the tunnel's port list\n";
    std::fputs(message, stdout);
    agent_log(message);
    std::exit(1);
}

// select cannot watch a descriptor outside its set.
bool fits_select_set(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

// The new socket is given up before the array hears of it.
int drop_new_socket(int fd) {
    ::close(fd);
    return 1;
}

bool id_in_use(const tunnel_state& state, std::uint16_t id) {
    for (const tunnel_connection* c = state.connections.get(); c != nullptr; c = c->next.get()) {
        if (c->connection_id == id)
            return true;
    }
    return false;
}

bool out_of_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Two descriptors held back for the log line of a port that cannot accept: the writer
// opens its directory and its file, and at that moment no other descriptor is left.
int log_reserve[2] = {-1, -1};

void log_without_descriptors(const char* format, int port, const char* error) {
    for (int& fd : log_reserve) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    agent_log(format, port, error);
    reserve_log_descriptors();
}

// The listening socket stays ready while a connection waits that cannot be taken, so the
// port leaves the select set for a while instead of spinning the loop.
void rest_port(listen_port* port, int error) {
    port->resting_until = clock_seconds() + ACCEPT_REST_SECONDS;
    if (port->starved)
        return;
    port->starved = true;
    log_without_descriptors("Cannot accept on port %d: %s; no new connection for a second\n",
                            port->port_number, std::strerror(error));
}

bool resting(const listen_port* port) {
    return port->resting_until != 0 && clock_seconds() <= port->resting_until;
}

bool obtain_host_cookie(int fd) {
    if (have_host_cookie())
        return true;
    for (int requests = 1;; ++requests) {
        if (request_host_cookie(fd) != 0)
            return true;
        if (requests == COOKIE_REQUEST_BOUND)
            return false;
        sleep_seconds(1);
    }
}

}  // namespace

tunnel_connection::~tunnel_connection() {
    if (fd >= 0)
        ::close(fd);
}

void init_listen_port(listen_port* entry, const char* name, std::uint16_t port_number,
                      int backlog) {
    const std::size_t size = std::strlen(name) + 1;
    entry->name.reset(new (std::nothrow) char[size]);
    if (entry->name)
        std::memcpy(entry->name.get(), name, size);
    entry->port_number = port_number;
    entry->backlog = backlog;
    entry->fd = -1;
}

listen_port* make_listen_ports(const std::vector<tunnel_port_setting>& wanted) {
    // Never released: the list serves the process for its whole life.
    listen_port* list = new (std::nothrow) listen_port[MAX_LISTEN_PORTS + 1];
    if (list == nullptr)
        fail_allocation();
    // Tested before any entry is filled, so that a fifth is never written past the list.
    if (wanted.size() > static_cast<std::size_t>(MAX_LISTEN_PORTS))
        fatal_stop("Assertion failed: (port - list) <= MAX_LISTEN_PORTS\n");
    listen_port* port = list;
    for (const tunnel_port_setting& setting : wanted) {
        init_listen_port(port, setting.name.c_str(), setting.number, setting.backlog);
        if (!port->name)
            fail_allocation();
        ++port;
    }
    port->port_number = 0;
    for (port = list; port->port_number != 0; ++port)
        open_listen_port(port);
    reserve_log_descriptors();
    return list;
}

void open_listen_port(listen_port* port) {
    if (port->fd != -1)
        fatal_stop("Assertion failed: port->fd == -1\n");
    const int number = port->port_number;
    port->fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (port->fd == -1)
        fail_port("socket for port %d: %s\n", number, true);
    if (!fits_select_set(port->fd)) {
        errno = EMFILE;
        fail_port("socket for port %d: %s\n", number, true);
    }
    const int on = 1;
    if (::setsockopt(port->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
        fail_port("setsockopt for port %d: %s\n", number, true);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port->port_number);
    if (::bind(port->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1)
        fail_port("bind for port %d: %s\n", number, true);
    if (::fcntl(port->fd, F_SETFL, O_NONBLOCK) < 0)
        fail_port("fcntl for port %d: %s\n", number, false);
    if (::listen(port->fd, port->backlog) == -1)
        fail_port("listen for port %d: %s\n", number, false);
    agent_log("Listening on port %d\n", number);
}

int accept_tunnel_connection(tunnel_state& state, listen_port* port) {
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    const int fd = ::accept(port->fd, reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (fd == -1) {
        if (out_of_resources(errno))
            rest_port(port, errno);
        return 0;
    }
    port->starved = false;
    port->resting_until = 0;
    if (!fits_select_set(fd)) {
        agent_log("Connection socket %d lies beyond the select set, closed\n", fd);
        return drop_new_socket(fd);
    }
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
        agent_log("fcntl(F_SETFL, O_NONBLOCK): %s\n", std::strerror(errno));
        return drop_new_socket(fd);
    }
    // Frames are matched to connections by id alone: a second holder would get the first
    // one's data. Peers on two addresses can share a port number.
    if (id_in_use(state, peer.sin_port)) {
        agent_log("Connection id 0x%04x already in use, connection closed\n", peer.sin_port);
        return drop_new_socket(fd);
    }
    if (!obtain_host_cookie(state.send_fd)) {
        agent_log("No host cookie after %d requests, connection closed\n", COOKIE_REQUEST_BOUND);
        return drop_new_socket(fd);
    }
    auto* node = new (std::nothrow) tunnel_connection;
    if (node == nullptr) {
        agent_log("Cannot allocate a tunnel connection, connection closed\n");
        return drop_new_socket(fd);
    }
    node->fd = fd;
    node->connection_id = peer.sin_port;
    node->port = port;
    node->next = std::move(state.connections);
    state.connections.reset(node);

    const char* name = port->name.get();
    send_tunnel_frame(state.send_fd, reinterpret_cast<const unsigned char*>(name),
                      static_cast<int>(std::strlen(name)), 1, 0, node->connection_id);
    state.poll_delay.store(0);
    return 1;
}

void accept_ready_ports(tunnel_state& state, const fd_set* ready) {
    for (listen_port* port = state.ports; port->port_number != 0; ++port) {
        if (!fits_select_set(port->fd) || !FD_ISSET(port->fd, ready))
            continue;
        while (accept_tunnel_connection(state, port) != 0) {
        }
    }
}

void reserve_log_descriptors() {
    for (int& fd : log_reserve) {
        if (fd < 0)
            fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void wake_resting_ports(tunnel_state& state) {
    for (listen_port* port = state.ports; port->port_number != 0; ++port)
        port->resting_until = 0;
}

void close_tunnel_connection(std::unique_ptr<tunnel_connection>* link) {
    std::unique_ptr<tunnel_connection> node = std::move(*link);
    ::close(node->fd);
    node->fd = -1;
    *link = std::move(node->next);
}

bool build_select_set(tunnel_state& state, fd_set* set, int* highest) {
    FD_ZERO(set);
    *highest = 0;
    bool any_resting = false;
    const auto add = [&](int fd) {
        if (!fits_select_set(fd))
            return;
        FD_SET(fd, set);
        if (fd > *highest)
            *highest = fd;
    };
    for (listen_port* port = state.ports; port->port_number != 0; ++port) {
        if (resting(port))
            any_resting = true;
        else
            add(port->fd);
    }
    for (tunnel_connection* c = state.connections.get(); c != nullptr; c = c->next.get())
        add(c->fd);
    return any_resting;
}
