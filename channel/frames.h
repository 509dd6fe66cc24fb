// Tunnel frames and the host cookie: the message layer of the port tunnel.
//
// The layer holds the link state (the host cookie, 0 while none is held, and one sequence
// number per direction, both wrapping) under a lock of its own that is never held across a
// command. Every command carries one reading of the cookie and its sequence number. Two
// threads may use the layer at once: the tunnel's run loop and its receive thread.
#pragma once

#include <cstdint>

/// Output switches for looking at the traffic: a payload dump and a send/receive trace.
/// Both are off, and nothing turns them on.
inline constexpr int dump_frames = 0;
inline constexpr int trace_frames = 0;

/// Sends one frame and returns 0 once the array has accepted it; a failed attempt is
/// repeated once a second, without limit, each time with the link state current then. The
/// send sequence then advances by one. `payload` may be null when `size` is 0; `size` is 0
/// to 65535 (above stops the daemon).
int send_tunnel_frame(int fd, const unsigned char* payload, int size, int open, int close,
                      std::uint16_t connection_id);

/// Receives one frame. Every output but `payload` may be null; only the given ones are
/// written. On success `*payload` is a new block of exactly the payload length (also for 0),
/// released with free(), and the result is the more flag (1 or 0). On failure every given
/// output is 0, `*payload` is null and the result is 0. The receive sequence advances when
/// the frame carries payload, the open or the close flag, unless the link was cleared or
/// replaced while the command ran.
int receive_tunnel_frame(int fd, unsigned char** payload, int* length, int* open, int* close,
                         std::uint16_t* connection_id);

/// Asks the array for a new host cookie. 1 when one was handed out: the cookie and both
/// sequences then hold the new values, set together. 0 otherwise, the link state unchanged.
int request_host_cookie(int fd);

/// 1 while a host cookie (not 0) is held, else 0.
int have_host_cookie();

/// Drops the host cookie; the sequence numbers keep their values.
void clear_host_cookie();

/// Writes the local time as "%H:%M:%S " on standard output, without a newline.
void print_time_prefix();
