// The array simulator: command dispatch in the manner of a user-space SCSI target (an
// opcode table defaulting to an illegal-op handler, a service-action table for the vendor
// opcode, one sense builder), fault injection, the journal, and the socket server whose
// workers serve one connection each at a time (its requests one after another, until the
// client closes it), with a new worker whenever none is idle.
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "sim/array_tunnel.h"
#include "sim/protocol.h"
#include "sim/relay.h"
#include "sim/sim.h"

namespace sim {

namespace {

constexpr std::uint8_t status_good = 0x00;
constexpr std::uint8_t status_check_condition = 0x02;
constexpr std::uint8_t status_busy = 0x08;
constexpr std::uint8_t driver_sense = 0x08;

constexpr std::uint8_t key_illegal_request = 0x05;
constexpr std::uint8_t key_aborted_command = 0x0B;
constexpr std::uint8_t asc_invalid_opcode = 0x20;
constexpr std::uint8_t asc_invalid_field_in_cdb = 0x24;
constexpr std::uint8_t asc_internal_target_failure = 0x44;

constexpr std::uint8_t vendor_opcode = 0x7F;
constexpr std::uint8_t vendor_service_high = 0xF8;
constexpr std::uint8_t service_frame_receive = 0;
constexpr std::uint8_t service_frame_send = 1;
constexpr std::uint8_t service_hostinfo_send = 2;
constexpr std::uint8_t service_hostinfo_receive = 3;

// A connection that stops partway through a request for this long is dropped, so one stuck
// client cannot hold the server for ever. Between requests a connection may wait without
// limit: the layer keeps one for every open node descriptor.
constexpr int idle_limit_ms = 10000;

/// Where a sense-key-specific field pointer points: a command block byte and, optionally, a bit.
struct field_pointer {
    std::uint16_t byte;
    int bit = -1;
};

/// Fixed-format sense data, 18 bytes.
std::vector<std::uint8_t> build_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0,
                                      std::optional<field_pointer> field = std::nullopt) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 0x0a;
    sense[12] = asc;
    sense[13] = ascq;
    if (field) {
        std::uint8_t sks = 0x80 | 0x40;  // SKSV, error in the command block
        if (field->bit >= 0)
            sks |= 0x08 | static_cast<std::uint8_t>(field->bit & 7);
        sense[15] = sks;
        sense[16] = static_cast<std::uint8_t>(field->byte >> 8);
        sense[17] = static_cast<std::uint8_t>(field->byte);
    }
    return sense;
}

/// What the tunnel commands of one enclosure work on; the simulator's lock is held.
struct tunnel_context {
    tunnel::endpoint& ep;
    const tunnel::service_table& services;
    const tunnel::relay_opener& open_relay;
    tunnel::retired_relays& retired;
    tunnel::time_point now;
    std::optional<frame_fields>& fields;
};

/// One command on its way through the device.
struct scsi_cmd {
    const std::vector<std::uint8_t>& cdb;
    int direction;
    unsigned dxfer_len;
    const std::vector<std::uint8_t>& data_out;
    const inquiry_identity& identity;
    std::optional<std::vector<std::uint8_t>>& view;  // the array's stored copy
    tunnel_context* tunnel;
    bool view_changed = false;
    // answer
    std::uint8_t status = status_good;
    std::vector<std::uint8_t> sense;
    std::vector<std::uint8_t> data_in;
    int resid = 0;
};

bool carries_data_in(int direction) {
    return direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV;
}

/// Returns `bytes` to the host, cut to what the host asked for; resid counts the rest.
void set_data_in(scsi_cmd& cmd, const std::uint8_t* bytes, std::size_t length) {
    const std::size_t room = carries_data_in(cmd.direction) ? cmd.dxfer_len : 0;
    const std::size_t n = std::min(length, room);
    cmd.data_in.assign(bytes, bytes + n);
    cmd.resid = static_cast<int>(cmd.dxfer_len - n);
}

std::uint8_t check_condition(scsi_cmd& cmd, std::uint8_t key, std::uint8_t asc,
                             std::optional<field_pointer> field = std::nullopt) {
    cmd.sense = build_sense(key, asc, 0, field);
    cmd.data_in.clear();
    cmd.resid = static_cast<int>(cmd.dxfer_len);
    return status_check_condition;
}

using handler = std::uint8_t (*)(scsi_cmd&);

std::uint8_t spc_illegal_op(scsi_cmd& cmd) {
    return check_condition(cmd, key_illegal_request, asc_invalid_opcode);
}

std::uint8_t spc_inquiry(scsi_cmd& cmd) {
    if (cmd.cdb[1] & 0x01) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{1, 0});
    }
    if (cmd.cdb[2] != 0) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{2});
    }
    const inquiry_identity& id = cmd.identity;
    const std::size_t length = static_cast<std::size_t>(id.additional_length) + 5;
    std::vector<std::uint8_t> data(std::max<std::size_t>(length, 48), 0);
    data[0] = id.peripheral;
    data[2] = 0x06;  // SPC-4
    data[3] = 0x02;  // response data format
    data[4] = id.additional_length;
    data[6] = id.encserv ? 0x40 : 0x00;
    std::copy(id.vendor.begin(), id.vendor.end(), data.begin() + 8);
    static constexpr char product[] = "Virtual Encl    ";
    std::copy(product, product + 16, data.begin() + 16);
    static constexpr char revision[] = "0001";
    std::copy(revision, revision + 4, data.begin() + 32);
    std::copy(id.serial.begin(), id.serial.end(), data.begin() + 36);
    const std::size_t allocation = (static_cast<std::size_t>(cmd.cdb[3]) << 8) | cmd.cdb[4];
    set_data_in(cmd, data.data(), std::min(allocation, length));
    return status_good;
}

std::uint8_t vendor_unknown_service(scsi_cmd& cmd) {
    return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb, field_pointer{8, 7});
}

std::uint8_t vendor_hostinfo_send(scsi_cmd& cmd) {
    cmd.view = cmd.data_out;
    cmd.view_changed = true;
    cmd.resid = 0;
    return status_good;
}

std::uint8_t vendor_hostinfo_receive(scsi_cmd& cmd) {
    const std::size_t asked = (static_cast<std::size_t>(cmd.cdb[2]) << 8) | cmd.cdb[3];
    if (!cmd.view) {
        cmd.resid = static_cast<int>(cmd.dxfer_len);
        return status_good;
    }
    set_data_in(cmd, cmd.view->data(), std::min(asked, cmd.view->size()));
    return status_good;
}

std::uint16_t be16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

bool is_cookie_request(const std::vector<std::uint8_t>& cdb) {
    return cdb.size() == 14 && cdb[2] == 0xFF && cdb[3] == 0xFF && be32(cdb, 10) == 0xFFFFFFFF;
}

/// The frame fields a command carries, before the array looks at it.
std::optional<frame_fields> describe_frame(command_kind kind,
                                           const std::vector<std::uint8_t>& cdb) {
    frame_fields f;
    if (kind == command_kind::cookie_request) {
        f.cookie = 0xFFFF;  // nothing handed out yet
    } else if (kind == command_kind::frame_receive && cdb.size() == 14) {
        f.cookie = be16(cdb, 2);
        f.sequence = be32(cdb, 10);
    } else if (kind == command_kind::frame_send && cdb.size() == 16) {
        f.cookie = be16(cdb, 2);
        f.connection_id = be16(cdb, 4);
        f.flags = cdb[6] & (tunnel::flag_open | tunnel::flag_close);
        f.sequence = be32(cdb, 10);
        f.payload_length = be16(cdb, 14);
    } else {
        return std::nullopt;
    }
    return f;
}

// A frame receive, or the host cookie request that shares its layout.
std::uint8_t vendor_frame_receive(scsi_cmd& cmd) {
    if (cmd.cdb.size() != 14 || cmd.tunnel == nullptr) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{7});
    }
    tunnel_context& t = *cmd.tunnel;
    const std::size_t room =
        std::min<std::size_t>(be16(cmd.cdb, 4), carries_data_in(cmd.direction) ? cmd.dxfer_len : 0);
    const bool cookie = is_cookie_request(cmd.cdb);
    if (room < (cookie ? tunnel::cookie_answer : tunnel::frame_head)) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{4});
    }
    frame_fields& f = t.fields.emplace();
    std::vector<std::uint8_t> out;
    if (cookie) {
        out = tunnel::request_cookie(t.ep, t.now, f, t.retired);
    } else {
        f.cookie = be16(cmd.cdb, 2);
        f.sequence = be32(cmd.cdb, 10);
        const bool current = tunnel::check_frame(t.ep, false, f);
        out =
            current && !t.ep.silent ? tunnel::give_frame(t.ep, room, t.now, f) : tunnel::no_frame();
    }
    set_data_in(cmd, out.data(), out.size());
    return status_good;
}

// A frame send is always accepted, also one that breaks the link's rules: a refusal would
// only make the host send it again for ever.
std::uint8_t vendor_frame_send(scsi_cmd& cmd) {
    if (cmd.cdb.size() != 16 || cmd.tunnel == nullptr) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{7});
    }
    tunnel_context& t = *cmd.tunnel;
    frame_fields& f = *(t.fields = describe_frame(command_kind::frame_send, cmd.cdb));
    const std::size_t length = std::min<std::size_t>(f.payload_length, cmd.data_out.size());
    const std::vector<std::uint8_t> payload(cmd.data_out.begin(), cmd.data_out.begin() + length);
    const bool current = tunnel::check_frame(t.ep, true, f);
    tunnel::accept_send(t.ep, current, f);
    if (current)
        tunnel::take_frame(t.ep, f, payload, t.services, t.open_relay, t.retired);
    cmd.resid = 0;
    return status_good;
}

const std::array<handler, 256>& service_table() {
    static const std::array<handler, 256> table = [] {
        std::array<handler, 256> t;
        t.fill(vendor_unknown_service);
        t[service_frame_receive] = vendor_frame_receive;
        t[service_frame_send] = vendor_frame_send;
        t[service_hostinfo_send] = vendor_hostinfo_send;
        t[service_hostinfo_receive] = vendor_hostinfo_receive;
        return t;
    }();
    return table;
}

std::uint8_t vendor_variable(scsi_cmd& cmd) {
    if (cmd.cdb.size() < 10 || static_cast<std::size_t>(cmd.cdb[7]) + 8 != cmd.cdb.size()) {
        return check_condition(cmd, key_illegal_request, asc_invalid_field_in_cdb,
                               field_pointer{7});
    }
    if (cmd.cdb[8] != vendor_service_high)
        return vendor_unknown_service(cmd);
    return service_table()[cmd.cdb[9]](cmd);
}

const std::array<handler, 256>& opcode_table() {
    static const std::array<handler, 256> table = [] {
        std::array<handler, 256> t;
        t.fill(spc_illegal_op);
        t[0x12] = spc_inquiry;
        t[vendor_opcode] = vendor_variable;
        return t;
    }();
    return table;
}

command_kind classify(const std::vector<std::uint8_t>& cdb) {
    if (cdb.empty())
        return command_kind::other;
    if (cdb[0] == 0x12)
        return command_kind::inquiry;
    if (cdb[0] == vendor_opcode && cdb.size() >= 10 && cdb[8] == vendor_service_high) {
        if (cdb[9] == service_frame_receive)
            return is_cookie_request(cdb) ? command_kind::cookie_request
                                          : command_kind::frame_receive;
        if (cdb[9] == service_frame_send)
            return command_kind::frame_send;
        if (cdb[9] == service_hostinfo_send)
            return command_kind::hostinfo_send;
        if (cdb[9] == service_hostinfo_receive)
            return command_kind::hostinfo_receive;
    }
    return command_kind::other;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof(two), "%02x", b);
        text += two;
    }
    return text;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr)
        return;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) == 0 && ok) {
        std::rename(tmp.c_str(), path.c_str());
    } else {
        std::remove(tmp.c_str());
    }
}

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

void inquiry_identity::set_vendor(const std::string& text) {
    vendor.fill(0);
    std::copy_n(text.begin(), std::min(text.size(), vendor.size()), vendor.begin());
}

void inquiry_identity::set_serial(const std::string& text) {
    serial.fill(0);
    std::copy_n(text.begin(), std::min(text.size(), serial.size()), serial.begin());
}

std::uint64_t digest(const std::uint8_t* data, std::size_t length) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

const char* kind_name(command_kind kind) {
    switch (kind) {
        case command_kind::inquiry:
            return "inquiry";
        case command_kind::hostinfo_send:
            return "hostinfo_send";
        case command_kind::hostinfo_receive:
            return "hostinfo_receive";
        case command_kind::frame_send:
            return "frame_send";
        case command_kind::frame_receive:
            return "frame_receive";
        case command_kind::cookie_request:
            return "cookie_request";
        case command_kind::other:
            return "other";
        case command_kind::any:
            return "any";
    }
    return "?";
}

const char* violation_name(violation v) {
    switch (v) {
        case violation::none:
            return "none";
        case violation::wrong_cookie:
            return "wrong_cookie";
        case violation::repeated_sequence:
            return "repeated_sequence";
        case violation::skipped_sequence:
            return "skipped_sequence";
    }
    return "?";
}

std::string format_entry(const journal_entry& e) {
    char head[512];
    std::snprintf(head, sizeof(head),
                  "#%llu %s array=%s kind=%s interface_id=%d dir=%d cmd_len=%u mx_sb_len=%u "
                  "dxfer_len=%u timeout=%u flags=%u iovec_count=%d cdb=",
                  static_cast<unsigned long long>(e.sequence), e.enclosure.c_str(), e.array.c_str(),
                  kind_name(e.kind), e.interface_id, e.dxfer_direction, e.cmd_len, e.mx_sb_len,
                  e.dxfer_len, e.timeout, e.flags, e.iovec_count);
    char tail[384];
    std::snprintf(tail, sizeof(tail),
                  " out=%zu digest=%016llx result=%d errno=%d status=0x%02x masked=0x%02x "
                  "host=0x%02x driver=0x%02x in=%u resid=%d sense=",
                  e.data_out.size(), static_cast<unsigned long long>(e.data_digest), e.ioctl_result,
                  e.error, e.status, e.masked_status, e.host_status, e.driver_status, e.data_in_len,
                  e.resid);
    std::string line = head + hex(e.cdb) + tail + hex(e.sense);
    if (e.frame) {
        const frame_fields& f = *e.frame;
        char frame[160];
        std::snprintf(frame, sizeof(frame),
                      " cookie=0x%04x seq=0x%08x conn=0x%04x flags=0x%02x len=%u violation=%s",
                      f.cookie, f.sequence, f.connection_id, f.flags, f.payload_length,
                      violation_name(f.problem));
        line += frame;
    }
    return line;
}

struct simulator::impl {
    struct enclosure_state {
        enclosure_config config;
        std::vector<fault> faults;
        bool vanished = false;
        tunnel::endpoint tunnel;
    };

    std::string socket_path;
    // Guards everything below up to the server's fields; relays report under it too.
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<enclosure_state>> enclosures;
    std::map<std::string, std::optional<std::vector<std::uint8_t>>> views;
    std::map<std::string, tunnel::service_table> services;  // by array
    std::vector<journal_entry> log;                         // by sequence
    std::uint64_t next_sequence = 0;
    std::string state_directory;
    mutable std::string nodes_directory;
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Relays taken off their connections; stopped and joined outside the lock.
    tunnel::retired_relays retired;

    int listen_fd = -1;
    int wake[2] = {-1, -1};
    bool serving = false;            // start() and stop() only
    std::atomic<int> idle{0};        // workers waiting for a connection
    std::mutex workers_mutex;        // guards workers
    std::list<std::thread> workers;  // joined by stop()
    std::mutex stop_mutex;
    std::condition_variable stop_cv;
    bool stopping = false;

    enclosure_state* find(const std::string& node) {
        for (auto& e : enclosures) {
            if (e->config.node == node)
                return e.get();
        }
        return nullptr;
    }
    const enclosure_state* find(const std::string& node) const {
        return const_cast<impl*>(this)->find(node);
    }

    // Takes the first fault that matches the kind, counting it down.
    std::optional<fault> take_fault(enclosure_state& e, command_kind kind) {
        for (auto it = e.faults.begin(); it != e.faults.end(); ++it) {
            if (it->on != command_kind::any && it->on != kind)
                continue;
            fault f = *it;
            if (it->count > 0 && --it->count == 0)
                e.faults.erase(it);
            return f;
        }
        return std::nullopt;
    }

    // Sleeps for the delay unless the simulator stops first.
    void pause(std::chrono::milliseconds delay) {
        std::unique_lock lock(stop_mutex);
        stop_cv.wait_for(lock, delay, [this] { return stopping; });
    }

    // With the lock held. Entries stay in order of arrival whatever order they end in.
    void record(journal_entry& entry, const std::string& array_name, bool view_changed) {
        const auto at = std::upper_bound(
            log.begin(), log.end(), entry.sequence,
            [](std::uint64_t sequence, const journal_entry& e) { return sequence < e.sequence; });
        log.insert(at, entry);
        if (state_directory.empty())
            return;
        if (FILE* f = std::fopen((state_directory + "/journal.txt").c_str(), "a")) {
            std::fprintf(f, "%s\n", format_entry(entry).c_str());
            std::fclose(f);
        }
        if (view_changed) {
            const auto& view = views[array_name];
            if (view)
                write_file(state_directory + "/" + array_name + ".view", *view);
        }
    }

    // Stops the relays retired so far; never with the lock held, as their threads take it.
    void reap(std::unique_lock<std::mutex>& lock) {
        tunnel::retired_relays done;
        done.swap(retired);
        lock.unlock();
        for (auto& r : done)
            r->stop();
        done.clear();
    }

    tunnel::relay_opener opener(const std::string& node, tunnel::endpoint& ep) {
        return [this, node, &ep](const service& s, std::uint16_t id) {
            const std::uint64_t generation = ep.generation;
            return relay::open(s.host, s.port,
                               [this, node, generation, id](
                                   relay* from, std::vector<std::uint8_t> bytes, bool closed) {
                                   std::lock_guard lock(mutex);
                                   if (enclosure_state* e = find(node)) {
                                       tunnel::relay_event(e->tunnel, generation, id, from,
                                                           std::move(bytes), closed, retired);
                                   }
                               });
        };
    }

    answer perform(const command& request);

    // Serves the next request of a connection; false when it ends (closed, broken, stopped).
    bool serve_request(int fd);
    // Waits for a connection's next request, without limit, unless we stop.
    bool await_request(int fd);
    void serve();
    // Starts one more worker; false when no thread can be had.
    bool add_worker();
    // Reads exactly `length` bytes unless the peer goes quiet, leaves, or we stop.
    bool receive(int fd, void* buffer, std::size_t length);
};

answer simulator::impl::perform(const command& request) {
    const std::string& node = request.enclosure;
    const std::vector<std::uint8_t>& cdb = request.cdb;
    const std::vector<std::uint8_t>& data_out = request.data_out;
    answer result;
    journal_entry& entry = result.entry;
    entry.enclosure = node;
    entry.kind = classify(cdb);
    entry.interface_id = request.interface_id;
    entry.dxfer_direction = request.dxfer_direction;
    entry.cmd_len = request.cmd_len;
    entry.mx_sb_len = request.mx_sb_len;
    entry.dxfer_len = request.dxfer_len;
    entry.timeout = request.timeout;
    entry.flags = request.flags;
    entry.iovec_count = request.iovec_count;
    entry.cdb = cdb;
    entry.data_out = data_out;
    entry.data_digest = digest(data_out.data(), data_out.size());
    entry.resid = static_cast<int>(request.dxfer_len);
    entry.frame = describe_frame(entry.kind, cdb);

    std::unique_lock lock(mutex);
    entry.sequence = next_sequence++;
    enclosure_state* e = find(node);
    if (e == nullptr) {
        // A node of an enclosure we do not know behaves as a dead device.
        entry.ioctl_result = -1;
        entry.error = EIO;
        record(entry, "", false);
        return result;
    }
    entry.array = e->config.array;
    const std::optional<fault> injected = e->vanished ? std::nullopt : take_fault(*e, entry.kind);
    if (injected && injected->kind == fault_kind::delay) {
        // Only this caller waits; the others go on meanwhile.
        lock.unlock();
        pause(injected->delay);
        lock.lock();
    }
    if (e->vanished) {
        // As the driver answers on a descriptor of a device that is gone.
        entry.ioctl_result = -1;
        entry.error = ENODEV;
        record(entry, entry.array, false);
        return result;
    }
    bool view_changed = false;
    const fault_kind kind = injected ? injected->kind : fault_kind::delay;
    if (injected && kind == fault_kind::ioctl_error) {
        entry.ioctl_result = -1;
        entry.error = EIO;
    } else if (injected && kind == fault_kind::check_condition) {
        entry.status = status_check_condition;
        entry.sense = build_sense(key_aborted_command, asc_internal_target_failure);
    } else if (injected && kind == fault_kind::busy) {
        entry.status = status_busy;
    } else if (injected && kind == fault_kind::good_no_data) {
        entry.status = status_good;
        // The host counts a GOOD send as accepted, though its frame is lost.
        if (entry.kind == command_kind::frame_send && entry.frame) {
            const bool current = tunnel::check_frame(e->tunnel, true, *entry.frame);
            tunnel::accept_send(e->tunnel, current, *entry.frame);
        }
    } else {
        const tunnel::relay_opener open_relay = opener(node, e->tunnel);
        tunnel_context context{e->tunnel,  services[entry.array], open_relay, retired, clock(),
                               entry.frame};
        scsi_cmd cmd{.cdb = cdb,
                     .direction = request.dxfer_direction,
                     .dxfer_len = request.dxfer_len,
                     .data_out = data_out,
                     .identity = e->config.identity,
                     .view = views[entry.array],
                     .tunnel = &context,
                     .view_changed = false,
                     .status = status_good,
                     .sense = {},
                     .data_in = {},
                     .resid = static_cast<int>(request.dxfer_len)};
        entry.status = opcode_table()[cdb[0]](cmd);
        entry.sense = std::move(cmd.sense);
        entry.resid = cmd.resid;
        entry.data_in_len = static_cast<unsigned>(cmd.data_in.size());
        view_changed = cmd.view_changed;
        result.data_in = std::move(cmd.data_in);
    }
    entry.masked_status = static_cast<std::uint8_t>(entry.status >> 1);
    entry.driver_status = entry.sense.empty() ? 0 : driver_sense;
    if (injected && kind == fault_kind::vanish) {
        e->vanished = true;
        if (!nodes_directory.empty())
            unlink((nodes_directory + "/" + node).c_str());
    }
    record(entry, entry.array, view_changed);
    reap(lock);
    return result;
}

bool simulator::impl::receive(int fd, void* buffer, std::size_t length) {
    auto* at = static_cast<char*>(buffer);
    while (length > 0) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int ready = poll(fds, 2, idle_limit_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (fds[1].revents & POLLIN))
            return false;
        const ssize_t got = read(fd, at, length);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return false;
        at += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool simulator::impl::await_request(int fd) {
    for (;;) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && !(fds[1].revents & POLLIN);
    }
}

bool simulator::impl::serve_request(int fd) {
    if (!await_request(fd))
        return false;
    wire::request_header request;
    if (!receive(fd, &request, sizeof(request)))
        return false;
    if (request.magic != wire::request_magic || request.version != wire::version ||
        request.enclosure_len == 0 || request.enclosure_len > wire::max_enclosure_name ||
        request.cmd_len == 0 || request.cmd_len > wire::max_cdb ||
        request.data_out_len > wire::max_data) {
        return false;
    }
    command c;
    c.enclosure.assign(request.enclosure_len, '\0');
    c.cdb.resize(request.cmd_len);
    c.data_out.resize(request.data_out_len);
    if (!receive(fd, c.enclosure.data(), c.enclosure.size()) ||
        !receive(fd, c.cdb.data(), c.cdb.size()) ||
        !receive(fd, c.data_out.data(), c.data_out.size())) {
        return false;
    }
    c.interface_id = request.interface_id;
    c.dxfer_direction = request.dxfer_direction;
    c.cmd_len = request.cmd_len;
    c.mx_sb_len = request.mx_sb_len;
    c.dxfer_len = request.dxfer_len;
    c.timeout = request.timeout;
    c.flags = request.flags;
    c.iovec_count = request.iovec_count;

    answer a = perform(c);
    const journal_entry& e = a.entry;
    wire::response_header response;
    response.ioctl_result = e.ioctl_result;
    response.error = e.error;
    response.status = e.status;
    response.masked_status = e.masked_status;
    response.host_status = e.host_status;
    response.driver_status = e.driver_status;
    response.resid = e.resid;
    response.sense_len = static_cast<std::uint32_t>(e.sense.size());
    response.data_in_len = static_cast<std::uint32_t>(a.data_in.size());
    struct iovec parts[3] = {
        {&response, sizeof(response)},
        {const_cast<std::uint8_t*>(e.sense.data()), e.sense.size()},
        {a.data_in.data(), a.data_in.size()},
    };
    return wire::send_all(fd, parts, 3) == 0;
}

bool simulator::impl::add_worker() {
    idle.fetch_add(1);
    try {
        std::lock_guard lock(workers_mutex);
        workers.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
        idle.fetch_sub(1);
        return false;
    }
    return true;
}

void simulator::impl::serve() {
    for (;;) {
        struct pollfd fds[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[1].revents & POLLIN)) {
            idle.fetch_sub(1);
            return;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        // Idle workers all wake; one gets the connection, the others find none.
        const int client = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // The last idle worker leaves one behind, so that a delayed command of one
        // connection never holds the next.
        if (idle.fetch_sub(1) == 1)
            add_worker();
        {
            fd_guard guard{client};
            // A client that stops reading cannot hold its thread for ever.
            const struct timeval limit = {idle_limit_ms / 1000, 0};
            setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
            while (serve_request(client)) {
            }
        }
        idle.fetch_add(1);
    }
}

simulator::simulator(std::string socket_path) : impl_(std::make_unique<impl>()) {
    impl_->socket_path = std::move(socket_path);
}

simulator::~simulator() {
    stop();
}

void simulator::add_enclosure(const enclosure_config& config) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(config.node)) {
        e->config = config;
        e->vanished = false;
    } else {
        impl_->enclosures.push_back(std::make_unique<impl::enclosure_state>());
        impl_->enclosures.back()->config = config;
    }
    impl_->views.try_emplace(config.array);
}

void simulator::inject(const std::string& node, const fault& f) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(node); e != nullptr && f.count != 0)
        e->faults.push_back(f);
}

void simulator::clear_faults(const std::string& node) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(node))
        e->faults.clear();
}

std::vector<std::string> simulator::enclosure_names() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    for (const auto& e : impl_->enclosures)
        names.push_back(e->config.node);
    return names;
}

std::vector<fault> simulator::faults(const std::string& node) const {
    std::lock_guard lock(impl_->mutex);
    const auto* e = impl_->find(node);
    return e != nullptr ? e->faults : std::vector<fault>{};
}

void simulator::plan_cookies(const std::string& node, const cookie_rule& rule) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(node); e != nullptr && rule.count != 0)
        e->tunnel.rules.push_back(rule);
}

void simulator::set_tunnel(const std::string& node, const tunnel_settings& settings) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(node))
        e->tunnel.settings = settings;
}

void simulator::set_silent(const std::string& node, bool silent) {
    std::lock_guard lock(impl_->mutex);
    if (auto* e = impl_->find(node))
        e->tunnel.silent = silent;
}

void simulator::add_service(const std::string& array, const std::string& name, const service& s) {
    std::lock_guard lock(impl_->mutex);
    impl_->services[array][name] = s;
}

void simulator::set_clock(std::function<std::chrono::steady_clock::time_point()> now) {
    std::lock_guard lock(impl_->mutex);
    impl_->clock = std::move(now);
}

void simulator::write_nodes(const std::string& directory) const {
    std::vector<std::string> names;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& e : impl_->enclosures)
            names.push_back(e->config.node);
    }
    for (const auto& name : names)
        write_node(directory, name);
}

void simulator::write_node(const std::string& directory, const std::string& node) const {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->nodes_directory = directory;
    }
    const std::string path = directory + "/" + node;
    const std::string content = node_content(node);
    fd_guard out{open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (out.fd < 0)
        return;
    fchmod(out.fd, 0600);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(out.fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

std::string simulator::node_content(const std::string& node) const {
    std::error_code ec;
    std::string socket = std::filesystem::absolute(impl_->socket_path, ec).string();
    if (ec)
        socket = impl_->socket_path;
    return std::string(wire::node_marker) + "socket " + socket + "\nenclosure " + node + "\n";
}

bool simulator::start() {
    if (impl_->serving)
        return true;
    const std::string& path = impl_->socket_path;
    struct sockaddr_un address {};
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    fd_guard listener{socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (listener.fd < 0)
        return false;
    unlink(path.c_str());  // a socket left behind by a simulator that died
    if (bind(listener.fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.fd, 64) != 0) {
        return false;
    }
    chmod(path.c_str(), 0666);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        unlink(path.c_str());
        return false;
    }
    impl_->wake[0] = wake[0];
    impl_->wake[1] = wake[1];
    impl_->listen_fd = listener.fd;
    listener.fd = -1;
    {
        std::lock_guard lock(impl_->stop_mutex);
        impl_->stopping = false;
    }
    if (!impl_->add_worker()) {
        close(impl_->listen_fd);
        close(wake[0]);
        close(wake[1]);
        impl_->listen_fd = impl_->wake[0] = impl_->wake[1] = -1;
        unlink(path.c_str());
        return false;
    }
    impl_->serving = true;
    return true;
}

void simulator::stop() {
    if (impl_->serving) {
        {
            std::lock_guard lock(impl_->stop_mutex);
            impl_->stopping = true;
        }
        impl_->stop_cv.notify_all();
        const char byte = 1;
        while (write(impl_->wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
        // Workers may add workers until they see the wake; take them all.
        for (;;) {
            std::thread worker;
            {
                std::lock_guard lock(impl_->workers_mutex);
                if (impl_->workers.empty())
                    break;
                worker = std::move(impl_->workers.front());
                impl_->workers.pop_front();
            }
            worker.join();
        }
        impl_->serving = false;
        close(impl_->listen_fd);
        close(impl_->wake[0]);
        close(impl_->wake[1]);
        impl_->listen_fd = impl_->wake[0] = impl_->wake[1] = -1;
        unlink(impl_->socket_path.c_str());
    }
    // No relay outlives the server: their threads report into this object.
    std::unique_lock lock(impl_->mutex);
    for (auto& e : impl_->enclosures) {
        auto& connections = e->tunnel.connections;
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->second.relayed) {
                impl_->retired.push_back(std::move(it->second.relayed));
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    impl_->reap(lock);
}

answer simulator::execute(const command& request) {
    if (request.cdb.empty()) {
        answer refused;
        refused.entry.enclosure = request.enclosure;
        refused.entry.ioctl_result = -1;
        refused.entry.error = EINVAL;
        return refused;
    }
    return impl_->perform(request);
}

std::vector<journal_entry> simulator::journal() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

void simulator::clear_journal() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

std::optional<std::vector<std::uint8_t>> simulator::stored_view(const std::string& array) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->views.find(array);
    if (it == impl_->views.end())
        return std::nullopt;
    return it->second;
}

void simulator::set_stored_view(const std::string& array, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->views[array] = std::move(bytes);
    if (!impl_->state_directory.empty()) {
        write_file(impl_->state_directory + "/" + array + ".view", *impl_->views[array]);
    }
}

void simulator::set_state_directory(const std::string& directory) {
    std::lock_guard lock(impl_->mutex);
    impl_->state_directory = directory;
}

const std::string& simulator::socket_path() const {
    return impl_->socket_path;
}

}  // namespace sim
