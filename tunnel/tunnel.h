// The port tunnel: local TCP connections relayed to the array in tunnel frames.
//
// Two threads share one tunnel_state under its one mutex `lock`: the run loop (run_tunnel,
// the main thread) and the receive thread. The main thread holds `lock` at all times but
// its select; the receive thread releases it only around each frame receive command and its
// sleeps. The log writer's own lock is only ever taken after `lock`.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/ticket_lock.h"

/// The port list holds at most this many listening ports.
inline constexpr int MAX_LISTEN_PORTS = 4;

/// One listening TCP port. The list ends at the first entry whose port_number is 0.
struct listen_port {
    std::uint16_t port_number = 0;  ///< host byte order; 0 only in the terminator
    int backlog = 0;
    std::unique_ptr<char[]> name;  ///< own copy; the payload of every connection's open frame
    int fd = -1;                   ///< listening socket, -1 while not open
    /// Out of the select set until the clock passes this second: accept failed for want of
    /// descriptors or memory, and the pending connection would make the socket ready at once.
    std::time_t resting_until = 0;
    bool starved = false;  ///< that failure has been logged; cleared by the next accept
};

/// One accepted connection: a node of the list that runs from the newest to the oldest.
/// Destroying a node closes its socket.
struct tunnel_connection {
    int fd = -1;  ///< non-blocking, except while a received payload is written
    /// The peer's sin_port exactly as accept stored it (network order) taken as a host
    /// number: a peer on port 0x1234 shows 34 12 on the wire.
    std::uint16_t connection_id = 0;
    listen_port* port = nullptr;
    std::unique_ptr<tunnel_connection> next;

    tunnel_connection() = default;
    ~tunnel_connection();
    tunnel_connection(const tunnel_connection&) = delete;
    tunnel_connection& operator=(const tunnel_connection&) = delete;
};

/// What the run loop and the receive thread share. Once the receive thread runs it must
/// stay valid for as long as the process does.
struct tunnel_state {
    std::unique_ptr<tunnel_connection> connections;  ///< guarded by `lock`
    listen_port* ports = nullptr;                    ///< never changes after start
    /// Guards the connection list, the writes of poll_delay and both tunnel times; every
    /// frame is sent and the host cookie tested, dropped or requested with it held. Taken in
    /// the order asked for, so that the receive thread gets it at the main thread's select.
    ticket_lock lock;
    int send_fd = -1;     ///< the main thread's array descriptor
    int receive_fd = -1;  ///< the receive thread's array descriptor
    /// The receive thread's wait between two polls, in microseconds. Written with `lock`
    /// held; the receive thread reads it without `lock` before every sleep slice.
    std::atomic<int> poll_delay{0};
};

/// When the main thread last sent a keep-alive or found a connection ready; 0 at start.
/// Main thread only, with `lock` held.
extern std::time_t last_send_time;
/// When the array last sent a keep-alive or a frame for a connection that exists; 0 when
/// nothing has been received since the cookie was last dropped. With `lock` held.
extern std::time_t last_receive_time;

// ---- Listening ports and connections --------------------------------------------------

/// Fills one entry: its own copy of `name` (null when it cannot be allocated), the number,
/// the backlog, and fd -1.
void init_listen_port(listen_port* entry, const char* name, std::uint16_t port_number, int backlog);

/// A port the caller wants the tunnel to listen on.
struct tunnel_port_setting {
    std::uint16_t number = 0;
    std::string name;
    int backlog = 5;
};

/// Makes the port list (room for MAX_LISTEN_PORTS and the terminator) from `wanted` and
/// opens every entry. More than MAX_LISTEN_PORTS entries stop the daemon; a port that
/// cannot be opened, or a list that cannot be allocated, ends the process with status 1.
listen_port* make_listen_ports(const std::vector<tunnel_port_setting>& wanted);

/// Creates, binds and listens on the entry's port (non-blocking) and logs it. Every
/// failure ends the process with status 1 after its message; an entry already open stops
/// the daemon.
void open_listen_port(listen_port* port);

/// Accepts one pending connection on `port` and announces it to the array with an open
/// frame carrying the port's name, obtaining a host cookie first when none is held. 1 to be
/// called again for the same port, 0 when nothing was accepted. A connection whose id (its
/// peer's port) another connection holds is closed at once; an accept that fails for want
/// of descriptors or memory rests the port. Main thread, `lock` held.
int accept_tunnel_connection(tunnel_state& state, listen_port* port);

/// Accepts every pending connection on every port whose socket is in `ready`.
void accept_ready_ports(tunnel_state& state, const fd_set* ready);

/// Closes the socket of the node that `link` holds (the list's head or a node's next),
/// unlinks and releases it. Sends nothing.
void close_tunnel_connection(std::unique_ptr<tunnel_connection>* link);

/// Puts every port's and every connection's socket in `set` and stores the highest of
/// them in `highest` (0 when there is none). A resting port is left out; the result is true
/// when one is, so that the caller's select ends in time to take it back.
bool build_select_set(tunnel_state& state, fd_set* set, int* highest);

/// Seconds a port rests after an accept failed for want of descriptors or memory.
inline constexpr int ACCEPT_REST_SECONDS = 1;

/// Holds two descriptors back for the log line of a port that cannot accept for want of
/// them; make_listen_ports does it, and the reserve is taken again after each such line.
void reserve_log_descriptors();

/// Ends the rest of every port: a connection was closed, so a descriptor is free again.
/// Main thread, `lock` held.
void wake_resting_ports(tunnel_state& state);

/// Host-cookie requests in accept_tunnel_connection before the new socket is given up.
inline constexpr int COOKIE_REQUEST_BOUND = 10;

// ---- Run loop and receive thread --------------------------------------------------------

/// What run_tunnel needs from its caller: the ports (at most MAX_LISTEN_PORTS) and two
/// open array descriptors, which it keeps.
struct tunnel_setup {
    std::vector<tunnel_port_setting> ports;
    int send_fd = -1;
    int receive_fd = -1;
};

/// The refresh/push cycle that run_tunnel runs: the daemon's run_refresh_cycle by default.
using refresh_cycle_function = int (*)();
extern refresh_cycle_function tunnel_refresh_cycle;

/// Opens the ports, starts the receive thread and runs the refresh/push cycle again and
/// again; while the cycle waits between its passes the tunnel is served instead of
/// sleeping, and between two cycles it is served for at most 2 seconds. Returns, with
/// `lock` still held and the receive thread left waiting for it, when a cycle returns 0.
void run_tunnel(const tunnel_setup& setup);

/// The receive thread; `argument` is the tunnel_state. Never returns.
void* tunnel_receive_thread(void* argument);

/// Sends a keep-alive frame (empty, connection 0) on `fd` and notes the time.
void send_keepalive(int fd);

/// Relays what every ready connection has to read to the array: one read of at most 32768
/// bytes, one frame, per connection and pass, so that a client that sends without pause
/// leaves the others, the accept and the receive thread their turn. A peer that closed (or
/// a read error) ends its connection with a close frame.
void relay_connections(tunnel_state& state, const fd_set* ready);

/// Receives one frame (releasing `lock` for the command) and dispatches it. Sets
/// `*activity` to 1 for a frame for a connection id other than 0. Returns the more flag.
int receive_and_dispatch(tunnel_state& state, int* activity);

/// Receives and dispatches frames while the array reports more; 1 when any of them
/// concerned a connection.
int drain_tunnel_frames(tunnel_state& state);

/// Lengthens poll_delay: 30000 from 0, then +10000 up to 1000000, then 3000000.
void back_off_poll(tunnel_state& state);

// Steps of the loops, on their own so that tests can run them one at a time.

/// Longest sleep slice of the receive thread's wait, in microseconds.
inline constexpr int POLL_SLICE = 500000;

/// Sleeps `remaining` microseconds in slices of at most POLL_SLICE, ending early at a
/// slice boundary once poll_delay is 0. Without `lock`.
void sliced_wait(tunnel_state& state, int remaining);

/// While a host cookie is held: a keep-alive when the last send lies 6 or more seconds back
/// (or ahead), then the cookie dropped when there is no connection. Main thread.
void keepalive_rule(tunnel_state& state);

/// Closes every connection, without frames, once nothing has been received for more than
/// 30 seconds. Receive thread.
void idle_rule(tunnel_state& state);

/// One pass of the run loop after its cycle: select for at most `timeout_seconds` with
/// `lock` released, relay, accept, keepalive_rule. Main thread, `lock` held.
void serve_tunnel_pass(tunnel_state& state, int timeout_seconds);

/// How long a received payload may take to be written before its connection is ended.
extern timeval payload_write_bound;
