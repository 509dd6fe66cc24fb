// The kernel's TCMU command ring, served by the array simulator: a real SCSI target (the
// loopback fabric over a TCMU backstore) hands every command of one enclosure to us through
// a shared mapping, and the programs reach it through the real sg driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/sim.h"

namespace sim::tcmu {

/// Length of a command block as the kernel derives it from the operation code: the ring
/// carries no length of its own.
std::size_t cdb_length(const std::uint8_t* cdb);

/// Data direction of a command (SG_DXFER_TO_DEV, SG_DXFER_FROM_DEV or SG_DXFER_NONE); a ring
/// entry carries none, so it follows from the commands the array knows.
int direction_of(const std::vector<std::uint8_t>& cdb);

/// What one ring entry asks: the command for the array (enclosure, command block, direction,
/// data length and data-out bytes; header fields the ring does not carry stay 0).
command to_command(const std::string& enclosure, const std::vector<std::uint8_t>& cdb,
                   unsigned data_length, const std::vector<std::uint8_t>& data_out);

/// How an answer of the array goes back through the ring.
struct reply {
    std::uint8_t status = 0;
    std::vector<std::uint8_t> sense;
    std::vector<std::uint8_t> data_in;  ///< at most the command's data length
    bool short_read = false;            ///< report data_in.size() as the read length
};

/// Maps the array's answer onto what the ring can express (see the comments inside).
reply to_reply(const answer& a, int direction, unsigned data_length);

using handler = std::function<reply(const std::vector<std::uint8_t>& cdb, unsigned data_length,
                                    const std::vector<std::uint8_t>& data_out)>;

/// Answers every entry between the mailbox's tail and head of the ring mapped at `map`
/// (`size` bytes) with `answer`, advancing the tail past each. Returns the number of commands
/// answered, or -1 when the ring is malformed (the tail then stays where the fault is).
int serve_ring(std::uint8_t* map, std::size_t size, const handler& answer);

}  // namespace sim::tcmu
