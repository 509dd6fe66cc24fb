#include "sim/array_tunnel.h"

#include <algorithm>

namespace sim::tunnel {

namespace {

// Late commands of this many earlier links are told from commands with a wrong cookie.
constexpr std::size_t remembered_links = 64;

constexpr char keepalive_word[] = "KEEPALIVE";

void put_be16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void put_be32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

violation compare(std::uint32_t got, std::uint32_t expected) {
    if (got == expected)
        return violation::none;
    // Sequences wrap: a number less than half the range ahead was skipped to.
    return got - expected < 0x80000000u ? violation::skipped_sequence
                                        : violation::repeated_sequence;
}

void end_connection(endpoint& ep, std::map<std::uint16_t, connection>::iterator it,
                    retired_relays& retired) {
    if (it->second.relayed)
        retired.push_back(std::move(it->second.relayed));
    ep.connections.erase(it);
}

void refuse(endpoint& ep, std::uint16_t id) {
    ep.waiting.push_back({id, true, {}});
}

void open_connection(endpoint& ep, std::uint16_t id, const std::vector<std::uint8_t>& payload,
                     const service_table& services, const relay_opener& open_relay,
                     retired_relays& retired) {
    // The same id opened again replaces its connection.
    if (auto old = ep.connections.find(id); old != ep.connections.end())
        end_connection(ep, old, retired);
    const auto found = services.find(std::string(payload.begin(), payload.end()));
    if (found == services.end() || found->second.kind == service_kind::refuse) {
        refuse(ep, id);
        return;
    }
    const service& s = found->second;
    connection c{s.kind, nullptr};
    if (s.kind == service_kind::relay) {
        c.relayed = open_relay(s, id);
        if (!c.relayed) {
            refuse(ep, id);
            return;
        }
    }
    ep.connections[id] = std::move(c);
    if (s.kind == service_kind::greet && !s.text.empty())
        ep.waiting.push_back({id, false, std::vector<std::uint8_t>(s.text.begin(), s.text.end())});
}

}  // namespace

std::vector<std::uint8_t> no_frame() {
    return std::vector<std::uint8_t>(frame_head, 0);
}

void drop_connections(endpoint& ep, retired_relays& retired) {
    while (!ep.connections.empty())
        end_connection(ep, ep.connections.begin(), retired);
    ep.waiting.clear();
}

std::vector<std::uint8_t> request_cookie(endpoint& ep, time_point now, frame_fields& fields,
                                         retired_relays& retired) {
    cookie_rule* rule = ep.rules.empty() ? &ep.fallback : &ep.rules.front();
    const bool grant = rule->grant && rule->cookie != 0xFFFF;
    const std::uint16_t cookie = grant ? rule->cookie : 0xFFFF;
    const std::uint32_t sequence = grant ? rule->sequence : 0;
    if (grant)
        rule->cookie = static_cast<std::uint16_t>((rule->cookie + rule->step) % 0xFFFF);
    if (rule->count > 0 && --rule->count == 0 && rule != &ep.fallback)
        ep.rules.pop_front();

    fields.cookie = cookie;
    fields.sequence = sequence;
    std::vector<std::uint8_t> out(cookie_answer, 0);
    put_be16(out, 5, cookie);
    put_be32(out, 7, sequence);
    if (!grant)
        return out;

    if (ep.linked) {
        ep.history.push_back({ep.cookie, ep.next_send, ep.next_receive});
        if (ep.history.size() > remembered_links)
            ep.history.pop_front();
    }
    drop_connections(ep, retired);
    ep.linked = true;
    ep.cookie = cookie;
    ep.next_send = ep.next_receive = sequence;
    ++ep.generation;
    ep.receives = 0;
    ep.last_keepalive = now;
    return out;
}

bool check_frame(endpoint& ep, bool send, frame_fields& fields) {
    if (ep.linked && fields.cookie == ep.cookie) {
        std::uint32_t& expected = send ? ep.next_send : ep.next_receive;
        fields.problem = compare(fields.sequence, expected);
        expected = fields.sequence;
        return true;
    }
    for (auto it = ep.history.rbegin(); it != ep.history.rend(); ++it) {
        if (it->cookie == fields.cookie) {
            fields.problem = compare(fields.sequence, send ? it->next_send : it->next_receive);
            return false;
        }
    }
    // Cookie 0 means the host holds none: it may still poll, or answer a frame that came in
    // before it dropped its link, and gets nothing.
    fields.problem = fields.cookie == 0 ? violation::none : violation::wrong_cookie;
    return false;
}

void accept_send(endpoint& ep, bool current, const frame_fields& fields) {
    if (current) {
        ep.next_send = fields.sequence + 1;
        return;
    }
    for (auto it = ep.history.rbegin(); it != ep.history.rend(); ++it) {
        if (it->cookie == fields.cookie) {
            it->next_send = fields.sequence + 1;
            return;
        }
    }
}

void take_frame(endpoint& ep, const frame_fields& fields, const std::vector<std::uint8_t>& payload,
                const service_table& services, const relay_opener& open_relay,
                retired_relays& retired) {
    const std::uint16_t id = fields.connection_id;
    if (id == 0)
        return;  // the host's keep-alive
    if (fields.flags & flag_open)
        open_connection(ep, id, payload, services, open_relay, retired);
    const bool close = fields.flags & flag_close;
    auto it = ep.connections.find(id);
    if (it == ep.connections.end()) {
        if (!close && !(fields.flags & flag_open))
            refuse(ep, id);
        return;
    }
    if (!(fields.flags & flag_open) && !payload.empty()) {
        connection& c = it->second;
        if (c.kind == service_kind::echo)
            ep.waiting.push_back({id, false, payload});
        else if (c.kind == service_kind::relay)
            c.relayed->send(payload.data(), payload.size());
    }
    if (close) {
        if (it->second.relayed)
            it->second.relayed->finish();
        end_connection(ep, it, retired);
    }
}

std::vector<std::uint8_t> give_frame(endpoint& ep, std::size_t room, time_point now,
                                     frame_fields& fields) {
    ++ep.receives;
    const tunnel_settings& s = ep.settings;
    const bool by_count = s.keepalive_every > 0 && ep.receives % s.keepalive_every == 0;
    const bool by_time =
        s.keepalive_period.count() > 0 && now - ep.last_keepalive >= s.keepalive_period;
    if (by_count || by_time) {
        ep.waiting.push_back(
            {0, false, std::vector<std::uint8_t>(keepalive_word, keepalive_word + 9)});
        ep.last_keepalive = now;
    }
    if (ep.waiting.empty())
        return no_frame();

    waiting_frame& head = ep.waiting.front();
    const std::size_t limit =
        std::min<std::size_t>(std::max<std::uint16_t>(s.frame_size, 1), room - frame_head);
    const std::size_t length = std::min(limit, head.payload.size());
    const bool whole = length == head.payload.size();
    std::vector<std::uint8_t> out(frame_head + length);
    std::copy_n(head.payload.begin(), length, out.begin() + frame_head);
    std::uint8_t flags = whole && head.close ? flag_close : 0;
    const std::uint16_t id = head.id;
    if (whole)
        ep.waiting.pop_front();
    else
        head.payload.erase(head.payload.begin(), head.payload.begin() + length);
    if (!ep.waiting.empty())
        flags |= flag_more;
    put_be16(out, 0, id);
    out[2] = flags;
    put_be16(out, 3, static_cast<std::uint16_t>(length));

    fields.connection_id = id;
    fields.flags = flags;
    fields.payload_length = static_cast<std::uint16_t>(length);
    if (length > 0 || (flags & flag_close))
        ++ep.next_receive;
    return out;
}

void relay_event(endpoint& ep, std::uint64_t generation, std::uint16_t id, const relay* from,
                 std::vector<std::uint8_t> bytes, bool closed, retired_relays& retired) {
    if (!ep.linked || ep.generation != generation)
        return;
    auto it = ep.connections.find(id);
    if (it == ep.connections.end() || it->second.relayed.get() != from)
        return;
    if (!bytes.empty())
        ep.waiting.push_back({id, false, std::move(bytes)});
    if (closed) {
        ep.waiting.push_back({id, true, {}});
        end_connection(ep, it, retired);
    }
}

}  // namespace sim::tunnel
