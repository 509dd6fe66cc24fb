// Command descriptor blocks of the array's commands.
#pragma once

#include <cstdint>
#include <memory>

using cdb_block = std::unique_ptr<unsigned char[]>;

/// Each builder returns a new zeroed block of its command's length, or null when it cannot
/// be allocated. A length out of range stops the daemon.
cdb_block build_inquiry_cdb(int length);
cdb_block build_hostinfo_cdb(int length, int send);
/// The tunnel blocks carry the cookie and the sequence number they are given: the caller
/// takes both from one reading of the link state.
cdb_block build_tunnel_send_cdb(int length, int open, int close, std::uint16_t connection_id,
                                std::uint16_t cookie, std::uint32_t sequence);
cdb_block build_tunnel_receive_cdb(int max_length, std::uint16_t cookie, std::uint32_t sequence);
