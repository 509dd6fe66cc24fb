// The simulated array: enclosures, arrays, fault injection and the command journal.
//
// A simulator serves one UNIX socket. Each enclosure is reached through a node file (see
// write_nodes) that the virtual sg layer (libtolva_sglayer.so, preloaded) recognises; the
// layer checks every SG_IO request as the kernel's sg driver does and forwards it here.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

/// Standard INQUIRY identity of one enclosure.
struct inquiry_identity {
    std::array<std::uint8_t, 8> vendor{'T', 'r', 'e', 'v', 'a', 's', 'k', 'o'};  // bytes 8..15
    std::uint8_t peripheral = 0x0D;         // byte 0: qualifier (bits 7..5) and type (4..0)
    bool encserv = true;                    // byte 6, bit 6
    std::uint8_t additional_length = 91;    // byte 4
    std::array<std::uint8_t, 12> serial{};  // bytes 36..47, raw

    /// Vendor from a text: its first 8 bytes, padded with NULs.
    void set_vendor(const std::string& text);
    /// Serial field from a text: its first 12 bytes, padded with NULs.
    void set_serial(const std::string& text);
};

struct enclosure_config {
    std::string node;   ///< node file name, e.g. "sg3"
    std::string array;  ///< name of the array it belongs to
    inquiry_identity identity;
};

enum class command_kind {
    inquiry,
    hostinfo_send,
    hostinfo_receive,
    frame_send,      ///< vendor service code 1
    frame_receive,   ///< vendor service code 0
    cookie_request,  ///< service code 0 with cookie FF FF and sequence FF FF FF FF
    other,
    any,
};

enum class fault_kind {
    ioctl_error,      ///< the layer returns -1 with EIO; the device sees nothing
    check_condition,  ///< CHECK CONDITION, sense key ABORTED COMMAND
    busy,             ///< status BUSY, no data
    good_no_data,     ///< GOOD status, no data moved (nothing stored)
    delay,            ///< answered normally after `delay`
    vanish,           ///< answered normally; then the node file is removed (later opens fail) and
             ///< every later command of the enclosure fails with ENODEV, open descriptors too
};

struct fault {
    fault_kind kind;
    command_kind on = command_kind::any;
    int count = -1;  ///< next N matching commands; -1 for all
    std::chrono::milliseconds delay{0};
};

/// What the array's checks found wrong with a frame command.
enum class violation {
    none,
    wrong_cookie,       ///< a cookie the enclosure never granted (0, "none held", is not one)
    repeated_sequence,  ///< behind the link's expected sequence
    skipped_sequence,   ///< ahead of it
};

/// Tunnel fields of a frame send, frame receive or cookie request.
struct frame_fields {
    /// The command's cookie and sequence; for a cookie request the cookie and starting
    /// sequence handed out (cookie 0xFFFF and sequence 0: refused).
    std::uint16_t cookie = 0;
    std::uint32_t sequence = 0;
    /// Send: the frame sent (flags: open 0x40, close 0x20 of command byte 6). Receive: the
    /// frame returned (flags: more 0x80, open 0x40, close 0x20 of its byte 2).
    std::uint16_t connection_id = 0;
    std::uint8_t flags = 0;
    std::uint16_t payload_length = 0;
    violation problem = violation::none;
};

/// Host cookie answers of one enclosure, used in order like faults.
struct cookie_rule {
    bool grant = true;           ///< false: refuse (cookie FF FF)
    std::uint16_t cookie = 1;    ///< first cookie handed out, 0 to 0xFFFE
    std::uint32_t sequence = 0;  ///< starting sequence of every grant
    std::uint16_t step = 0;      ///< added to the cookie after each grant, modulo 0xFFFF
    int count = -1;              ///< next N requests; -1 for all
};

/// How an enclosure hands frames to the host.
struct tunnel_settings {
    /// Largest payload of one frame to the host; longer data is split.
    std::uint16_t frame_size = 65530;
    /// A keep-alive frame at every Nth frame receive of a link; 0 for none.
    unsigned keepalive_every = 0;
    /// A keep-alive on the first frame receive this long after the last one (or after the
    /// grant), by the simulator's clock; 0 for none.
    std::chrono::milliseconds keepalive_period{0};
};

/// What answers behind a port name (the payload of an open frame).
enum class service_kind {
    echo,    ///< sends every byte back
    greet,   ///< sends `text` at once, then takes bytes silently
    refuse,  ///< answers the open with a close frame
    sink,    ///< takes bytes, answers nothing
    relay,   ///< a TCP connection to `host`:`port` (IPv4 loopback), bytes both ways
};

struct service {
    service_kind kind = service_kind::echo;
    std::string text;
    std::string host;
    std::uint16_t port = 0;
};

/// What the simulator received and answered for one SG_IO request.
struct journal_entry {
    std::uint64_t sequence = 0;  ///< order of arrival, from 0
    std::string enclosure;       ///< node name
    std::string array;
    command_kind kind = command_kind::other;
    // request header fields as the program filled them
    int interface_id = 0;
    int dxfer_direction = 0;
    unsigned cmd_len = 0;
    unsigned mx_sb_len = 0;
    unsigned dxfer_len = 0;
    unsigned timeout = 0;
    unsigned flags = 0;
    int iovec_count = 0;
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> data_out;  ///< bytes sent to the device
    std::uint64_t data_digest = 0;       ///< FNV-1a 64 of data_out
    // answer
    int ioctl_result = 0;  ///< 0, or -1 for an injected ioctl error
    int error = 0;         ///< errno with ioctl_result -1
    std::uint8_t status = 0;
    std::uint8_t masked_status = 0;
    std::uint8_t host_status = 0;
    std::uint8_t driver_status = 0;
    std::vector<std::uint8_t> sense;
    unsigned data_in_len = 0;  ///< bytes returned to the host
    int resid = 0;
    /// Frame send, frame receive and cookie request only.
    std::optional<frame_fields> frame;
};

/// One command as a transport hands it to the array: the request header fields as the
/// program filled them (for the journal), the command block and the data-out bytes.
struct command {
    std::string enclosure;  ///< node name
    int interface_id = 'S';
    int dxfer_direction = 0;
    unsigned cmd_len = 0;
    unsigned mx_sb_len = 0;
    unsigned dxfer_len = 0;
    unsigned timeout = 0;
    unsigned flags = 0;
    int iovec_count = 0;
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> data_out;
};

/// The array's answer: the journal entry it recorded and the data-in bytes (at most
/// dxfer_len).
struct answer {
    journal_entry entry;
    std::vector<std::uint8_t> data_in;
};

std::uint64_t digest(const std::uint8_t* data, std::size_t length);
const char* kind_name(command_kind kind);
const char* violation_name(violation v);

class simulator {
  public:
    /// Serves `socket_path` (created on start, removed on stop).
    explicit simulator(std::string socket_path);
    ~simulator();
    simulator(const simulator&) = delete;
    simulator& operator=(const simulator&) = delete;

    /// Adds an enclosure, or replaces the identity of a known one (which then answers again
    /// if it had vanished).
    void add_enclosure(const enclosure_config& config);
    void inject(const std::string& node, const fault& f);
    void clear_faults(const std::string& node);
    /// The enclosures' node names, in the order they were added, and the faults still
    /// waiting on one of them.
    std::vector<std::string> enclosure_names() const;
    std::vector<fault> faults(const std::string& node) const;

    /// Appends a host cookie rule. With no rule left an enclosure grants cookies 1, 2, 3 ...
    /// with starting sequence 0.
    void plan_cookies(const std::string& node, const cookie_rule& rule);
    void set_tunnel(const std::string& node, const tunnel_settings& settings);
    /// While silent, frame receives get an empty frame: no keep-alive, nothing waiting.
    void set_silent(const std::string& node, bool silent);
    /// Adds or replaces the service behind `name` for the enclosures of `array`.
    void add_service(const std::string& array, const std::string& name, const service& s);
    /// The clock of time-based keep-alives; steady_clock::now unless a test sets one. It is
    /// called with the simulator's lock held.
    void set_clock(std::function<std::chrono::steady_clock::time_point()> now);

    /// Creates one node file per enclosure in `directory` (e.g. the sandbox's dev folder).
    void write_nodes(const std::string& directory) const;
    /// Creates the node file of one enclosure in `directory`.
    void write_node(const std::string& directory, const std::string& node) const;
    /// Content of the node file of one enclosure.
    std::string node_content(const std::string& node) const;

    /// Starts serving on a thread of its own (false when the socket cannot be made) / stops
    /// it. Each connection is served on a thread of its own, so a delayed command holds only
    /// its caller. stop() also ends pending delays and every relay connection.
    bool start();
    void stop();

    /// Runs one command through the array (faults, dispatch, journal) and returns its
    /// answer; any transport (the socket server, a kernel target) goes through here.
    answer execute(const command& request);

    /// Entries of the commands answered so far, in order of arrival (a delayed command keeps
    /// the place of its arrival).
    std::vector<journal_entry> journal() const;
    void clear_journal();

    /// The host view stored by an array (the bytes of its last host-view send), if any.
    std::optional<std::vector<std::uint8_t>> stored_view(const std::string& array) const;
    /// Sets what an array returns on a host-view receive.
    void set_stored_view(const std::string& array, std::vector<std::uint8_t> bytes);

    /// When set, every stored view is also written to `<directory>/<array>.view` and every
    /// journal entry appended as one line to `<directory>/journal.txt` once its command is
    /// answered (process mode).
    void set_state_directory(const std::string& directory);

    const std::string& socket_path() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

/// Text form of a journal entry, one line (used by journal.txt and test messages).
std::string format_entry(const journal_entry& entry);

}  // namespace sim
