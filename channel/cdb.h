// Command descriptor blocks of the array's commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

using cdb_block = std::unique_ptr<unsigned char[]>;

/// Link state of the tunnel frame layer; the tunnel builders read it.
extern std::atomic<std::uint16_t> host_cookie;
extern std::atomic<std::uint32_t> send_sequence;
extern std::atomic<std::uint32_t> receive_sequence;

/// Each builder returns a new zeroed block of its command's length, or null when it cannot
/// be allocated. A length out of range stops the daemon.
cdb_block build_inquiry_cdb(int length);
cdb_block build_hostinfo_cdb(int length, int send);
cdb_block build_tunnel_send_cdb(int length, int open, int close, std::uint16_t connection_id);
cdb_block build_tunnel_receive_cdb(int max_length);
