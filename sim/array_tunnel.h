// The tunnel side of one simulated enclosure: the link it granted to the host, the checks
// of every frame command against that link, the connections behind port names and the frames
// waiting for the host. Plain state and functions; the simulator's lock guards them.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/relay.h"
#include "sim/sim.h"

namespace sim::tunnel {

using time_point = std::chrono::steady_clock::time_point;
using service_table = std::map<std::string, service>;
using retired_relays = std::vector<std::shared_ptr<relay>>;
/// Opens the relay of connection `id` of the current link; null when it cannot.
using relay_opener = std::function<std::shared_ptr<relay>(const service&, std::uint16_t id)>;

/// Size of the head of a frame in a receive's answer, and of a cookie answer.
inline constexpr std::size_t frame_head = 5;
inline constexpr std::size_t cookie_answer = 11;
inline constexpr std::uint8_t flag_more = 0x80;
inline constexpr std::uint8_t flag_open = 0x40;
inline constexpr std::uint8_t flag_close = 0x20;

struct waiting_frame {
    std::uint16_t id = 0;
    bool close = false;
    std::vector<std::uint8_t> payload;
};

struct connection {
    service_kind kind = service_kind::sink;
    std::shared_ptr<relay> relayed;  ///< relay only
};

/// What the enclosure still expects of a link that a later grant ended.
struct past_link {
    std::uint16_t cookie = 0;
    std::uint32_t next_send = 0;
    std::uint32_t next_receive = 0;
};

struct endpoint {
    std::deque<cookie_rule> rules;
    cookie_rule fallback{true, 1, 0, 1, -1};
    tunnel_settings settings;
    bool silent = false;

    bool linked = false;  ///< a cookie was granted
    std::uint16_t cookie = 0;
    std::uint32_t next_send = 0;
    std::uint32_t next_receive = 0;
    std::uint64_t generation = 0;  ///< counts grants; relays report against it
    std::uint64_t receives = 0;    ///< frame receives of the link, for keep-alives
    time_point last_keepalive{};
    std::deque<waiting_frame> waiting;
    std::map<std::uint16_t, connection> connections;
    std::deque<past_link> history;  ///< newest last, bounded
};

/// Answers a cookie request (11 bytes: five not examined, cookie, starting sequence) by
/// the first rule; a grant starts a new link.
std::vector<std::uint8_t> request_cookie(endpoint& ep, time_point now, frame_fields& fields,
                                         retired_relays& retired);

/// Checks a frame command against the link its cookie names and stores any violation in
/// `fields.problem`. True when the command belongs to the current link, whose expectation
/// then follows the host's number so that one fault is reported once.
bool check_frame(endpoint& ep, bool send, frame_fields& fields);

/// A send the array accepted: the sequence of the link it belongs to moves on.
void accept_send(endpoint& ep, bool current, const frame_fields& fields);

/// Takes a frame that the host sent on the current link.
void take_frame(endpoint& ep, const frame_fields& fields, const std::vector<std::uint8_t>& payload,
                const service_table& services, const relay_opener& open_relay,
                retired_relays& retired);

/// The next frame for the host on the current link, at most `room` (>= frame_head) bytes in
/// the response layout; keep-alives are queued first when due. Fills `fields` with the
/// frame returned and advances the receive expectation as the host does.
std::vector<std::uint8_t> give_frame(endpoint& ep, std::size_t room, time_point now,
                                     frame_fields& fields);

/// An empty frame: nothing for the host.
std::vector<std::uint8_t> no_frame();

/// Relay news for connection `id` of link `generation`; ignored when the connection is gone.
void relay_event(endpoint& ep, std::uint64_t generation, std::uint16_t id, const relay* from,
                 std::vector<std::uint8_t> bytes, bool closed, retired_relays& retired);

/// Ends every connection of the link and drops the frames waiting for the host.
void drop_connections(endpoint& ep, retired_relays& retired);

}  // namespace sim::tunnel
