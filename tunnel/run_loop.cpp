// The tunnel's run loop and receive thread.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "agent/cycle.h"
#include "channel/frames.h"
#include "ground/clock.h"
#include "ground/fatal.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tunnel/tunnel.h"

namespace {

constexpr int RELAY_BUFFER_SIZE = 32768;
constexpr int SELECT_SECONDS = 2;
constexpr std::time_t KEEPALIVE_AFTER = 5;  // a keep-alive once the last send is further back
constexpr std::time_t IDLE_AFTER = 30;

// Main thread only.
unsigned char relay_buffer[RELAY_BUFFER_SIZE];

// The tunnel that the cycle's waits serve; main thread only.
tunnel_state* served_tunnel = nullptr;

struct free_deleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

bool in_set(int fd, const fd_set* set) {
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}

void send_close_frame(int fd, std::uint16_t connection_id) {
    send_tunnel_frame(fd, nullptr, 0, 0, 1, connection_id);
}

std::unique_ptr<tunnel_connection>* find_connection(tunnel_state& state, std::uint16_t id) {
    for (std::unique_ptr<tunnel_connection>* link = &state.connections; *link;
         link = &(*link)->next) {
        if ((*link)->connection_id == id)
            return link;
    }
    return nullptr;
}

void deliver(tunnel_state& state, std::unique_ptr<tunnel_connection>* link,
             const unsigned char* payload, int length, int close) {
    tunnel_connection& connection = **link;
    last_receive_time = clock_seconds();
    // Blocking, so that the payload goes out in one write, but bounded: a peer that stops
    // reading would otherwise hold this thread and, through `lock`, the main thread.
    ::fcntl(connection.fd, F_SETFL, 0);
    ::setsockopt(connection.fd, SOL_SOCKET, SO_SNDTIMEO, &payload_write_bound,
                 sizeof payload_write_bound);
    const ssize_t written = ::write(connection.fd, payload, static_cast<std::size_t>(length));
    ::fcntl(connection.fd, F_SETFL, O_NONBLOCK);
    if (written < length) {
        agent_log("Write size too small: %d of %d\n", static_cast<int>(written), length);
        send_close_frame(state.receive_fd, connection.connection_id);
        close_tunnel_connection(link);
    } else if (close) {
        close_tunnel_connection(link);
    }
}

// In place of the cycle's sleep: serves the tunnel until the wait is over.
void serve_while_waiting(int seconds) {
    tunnel_state& state = *served_tunnel;
    std::time_t last = clock_seconds();
    std::time_t end = last + seconds;
    for (;;) {
        const std::time_t now = clock_seconds();
        // A clock set back must not stretch the wait.
        if (now < last)
            end -= last - now;
        last = now;
        if (now >= end)
            return;
        const std::time_t remaining = end - now;
        serve_tunnel_pass(
            state, remaining < SELECT_SECONDS ? static_cast<int>(remaining) : SELECT_SECONDS);
    }
}

}  // namespace

std::time_t last_send_time = 0;
std::time_t last_receive_time = 0;
timeval payload_write_bound{5, 0};
refresh_cycle_function tunnel_refresh_cycle = run_refresh_cycle;

void send_keepalive(int fd) {
    send_tunnel_frame(fd, nullptr, 0, 0, 0, 0);
    last_send_time = clock_seconds();
}

void relay_connections(tunnel_state& state, const fd_set* ready) {
    bool any_ready = false;
    std::unique_ptr<tunnel_connection>* link = &state.connections;
    while (*link) {
        tunnel_connection& connection = **link;
        if (!in_set(connection.fd, ready)) {
            link = &connection.next;
            continue;
        }
        state.poll_delay.store(0);
        any_ready = true;
        const ssize_t n = ::read(connection.fd, relay_buffer, sizeof relay_buffer);
        if (n > 0) {
            send_tunnel_frame(state.send_fd, relay_buffer, static_cast<int>(n), 0, 0,
                              connection.connection_id);
        } else if (n == 0 || errno != EAGAIN) {
            send_close_frame(state.send_fd, connection.connection_id);
            close_tunnel_connection(link);
            wake_resting_ports(state);
            continue;
        }
        link = &connection.next;
    }
    if (any_ready)
        last_send_time = clock_seconds();
}

int receive_and_dispatch(tunnel_state& state, int* activity) {
    unsigned char* block = nullptr;
    int length = 0;
    int close = 0;
    std::uint16_t id = 0;
    state.lock.unlock();
    const int more = receive_tunnel_frame(state.receive_fd, &block, &length, nullptr, &close, &id);
    state.lock.lock();
    const std::unique_ptr<unsigned char, free_deleter> payload(block);

    if (length > 0 && id == 0) {
        last_receive_time = clock_seconds();
        return more;
    }
    if (length == 0 && close == 0)
        return more;
    *activity = 1;
    std::unique_ptr<tunnel_connection>* link = find_connection(state, id);
    if (link == nullptr) {
        if (close == 0)
            send_close_frame(state.receive_fd, id);
        return more;
    }
    deliver(state, link, payload.get(), length, close);
    return more;
}

int drain_tunnel_frames(tunnel_state& state) {
    int activity = 0;
    while (receive_and_dispatch(state, &activity) != 0) {
    }
    return activity;
}

void back_off_poll(tunnel_state& state) {
    const int delay = state.poll_delay.load();
    if (delay >= 3000000)
        return;
    if (delay >= 1000000)
        state.poll_delay.store(delay + 2000000);
    else if (delay >= 1)
        state.poll_delay.store(delay + 10000);
    else
        state.poll_delay.store(30000);
}

void sliced_wait(tunnel_state& state, int remaining) {
    while (state.poll_delay.load() != 0 && remaining > 0) {
        const int slice = remaining < POLL_SLICE ? remaining : POLL_SLICE;
        remaining -= slice;
        sleep_microseconds(slice);
    }
}

void keepalive_rule(tunnel_state& state) {
    if (!have_host_cookie())
        return;
    const std::time_t now = clock_seconds();
    if (now < last_send_time || last_send_time + KEEPALIVE_AFTER < now)
        send_keepalive(state.send_fd);
    if (!state.connections) {
        clear_host_cookie();
        last_receive_time = 0;
    }
}

void idle_rule(tunnel_state& state) {
    if (last_receive_time == 0)
        return;
    const std::time_t now = clock_seconds();
    if (now <= last_receive_time + IDLE_AFTER)
        return;
    agent_log("Went %d seconds without receiving anything, abandoning host cookie\n",
              static_cast<int>(now - last_receive_time));
    while (state.connections)
        close_tunnel_connection(&state.connections);
}

void serve_tunnel_pass(tunnel_state& state, int timeout_seconds) {
    fd_set ready;
    int highest = 0;
    const bool port_resting = build_select_set(state, &ready, &highest);
    if (port_resting && timeout_seconds > ACCEPT_REST_SECONDS)
        timeout_seconds = ACCEPT_REST_SECONDS;
    timeval timeout{timeout_seconds, 0};
    state.lock.unlock();
    const int count = ::select(highest + 1, &ready, nullptr, nullptr, &timeout);
    state.lock.lock();
    if (count > 0) {
        relay_connections(state, &ready);
        accept_ready_ports(state, &ready);
    }
    keepalive_rule(state);
}

void* tunnel_receive_thread(void* argument) {
    tunnel_state& state = *static_cast<tunnel_state*>(argument);
    state.lock.lock();
    for (;;) {
        if (!have_host_cookie()) {
            state.lock.unlock();
            sleep_seconds(1);
            state.lock.lock();
            continue;
        }
        idle_rule(state);
        if (!state.connections) {
            clear_host_cookie();
            last_receive_time = 0;
        }
        if (drain_tunnel_frames(state) != 0)
            state.poll_delay.store(0);
        back_off_poll(state);
        const int remaining = state.poll_delay.load();
        state.lock.unlock();
        sliced_wait(state, remaining);
        state.lock.lock();
    }
}

void run_tunnel(const tunnel_setup& setup) {
    listen_port* ports = make_listen_ports(setup.ports);
    // Never released: the receive thread uses it for as long as the process runs.
    auto* state = new (std::nothrow) tunnel_state;
    if (state == nullptr) {
        agent_log("Cannot allocate the tunnel's state\n");
        std::exit(1);
    }
    state->ports = ports;
    state->send_fd = setup.send_fd;
    state->receive_fd = setup.receive_fd;
    state->poll_delay.store(0);
    state->lock.lock();
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, tunnel_receive_thread, state) != 0) {
        if (debug_level)
            agent_log("Thread create failed");
        fatal_stop("Thread create failed");
    }

    const wait_function saved_wait = cycle_wait;
    served_tunnel = state;
    cycle_wait = serve_while_waiting;
    for (;;) {
        if (tunnel_refresh_cycle() == 0)
            break;
        serve_tunnel_pass(*state, SELECT_SECONDS);
    }
    cycle_wait = saved_wait;
    served_tunnel = nullptr;
}
