// Wire format between the virtual sg layer and the simulator, and the node file format.
//
// A connection carries requests one after another, each answered before the next is sent,
// until the client closes it. The layer keeps one per open node descriptor and never lets
// two threads or a forked child share one, so clients stay independent of each other.
// Both ends run on the same host, so records travel in native byte order.
//
// The helpers here are used by the preloaded layer too: they allocate nothing, take no
// lock and never raise SIGPIPE.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace sim::wire {

inline constexpr std::uint32_t request_magic = 0x54535251;   // "QRST"
inline constexpr std::uint32_t response_magic = 0x54535041;  // "APST"
inline constexpr std::uint32_t version = 1;

inline constexpr std::size_t max_enclosure_name = 64;
inline constexpr std::size_t max_cdb = 32;
inline constexpr std::size_t max_sense = 252;
/// Largest data-out transfer the simulator accepts (the programs send at most 65,535).
inline constexpr std::uint32_t max_data = 16u * 1024u * 1024u;

/// First line of every node file.
inline constexpr char node_marker[] = "tolva-sim-node 1\n";

struct request_header {
    std::uint32_t magic = request_magic;
    std::uint32_t version = wire::version;
    std::int32_t interface_id = 0;
    std::int32_t dxfer_direction = 0;
    std::uint32_t cmd_len = 0;
    std::uint32_t mx_sb_len = 0;
    std::uint32_t dxfer_len = 0;
    std::uint32_t timeout = 0;
    std::uint32_t flags = 0;
    std::int32_t iovec_count = 0;
    std::uint32_t enclosure_len = 0;  ///< bytes of the enclosure name that follow
    std::uint32_t data_out_len = 0;   ///< data-out bytes that follow the command block
};
// Followed by: enclosure name, cmd_len command block bytes, data_out_len data bytes.

struct response_header {
    std::uint32_t magic = response_magic;
    std::int32_t ioctl_result = 0;  ///< 0, or -1 with `error`
    std::int32_t error = 0;
    std::uint8_t status = 0;
    std::uint8_t masked_status = 0;
    std::uint16_t host_status = 0;
    std::uint16_t driver_status = 0;
    std::uint16_t reserved = 0;
    std::int32_t resid = 0;
    std::uint32_t sense_len = 0;    ///< sense bytes that follow (at most max_sense)
    std::uint32_t data_in_len = 0;  ///< data-in bytes that follow the sense
};

/// Sends every byte of the vector (MSG_NOSIGNAL, EINTR retried). 0 on success, -1 on error.
int send_all(int fd, struct iovec* iov, int count);
/// Reads exactly `length` bytes. 0 on success, -1 on error or end of stream.
int read_all(int fd, void* buffer, std::size_t length);

/// What a node file names. The texts are NUL-terminated and cut to their buffers' sizes.
struct node_info {
    char socket_path[108];
    char enclosure[max_enclosure_name + 1];
};

/// Parses node file content; true when it starts with the marker and names both fields.
bool parse_node(const char* text, std::size_t length, node_info& out);

}  // namespace sim::wire
