// The simulated array: enclosures, arrays, fault injection and the command journal.
//
// A simulator serves one UNIX socket. Each enclosure is reached through a node file (see
// write_nodes) that the virtual sg layer (libtolva_sglayer.so, preloaded) recognises; the
// layer checks every SG_IO request as the kernel's sg driver does and forwards it here.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
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

enum class command_kind { inquiry, hostinfo_send, hostinfo_receive, other, any };

enum class fault_kind {
    ioctl_error,      ///< the layer returns -1 with EIO; the device sees nothing
    check_condition,  ///< CHECK CONDITION, sense key ABORTED COMMAND
    busy,             ///< status BUSY, no data
    good_no_data,     ///< GOOD status, no data moved (nothing stored)
    delay,            ///< answered normally after `delay`
    vanish,           ///< answered normally, then the node file is removed (later opens fail)
};

struct fault {
    fault_kind kind;
    command_kind on = command_kind::any;
    int count = -1;  ///< next N matching commands; -1 for all
    std::chrono::milliseconds delay{0};
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

class simulator {
  public:
    /// Serves `socket_path` (created on start, removed on stop).
    explicit simulator(std::string socket_path);
    ~simulator();
    simulator(const simulator&) = delete;
    simulator& operator=(const simulator&) = delete;

    void add_enclosure(const enclosure_config& config);
    void inject(const std::string& node, const fault& f);
    void clear_faults(const std::string& node);

    /// Creates one node file per enclosure in `directory` (e.g. the sandbox's dev folder).
    void write_nodes(const std::string& directory) const;
    /// Creates the node file of one enclosure in `directory`.
    void write_node(const std::string& directory, const std::string& node) const;
    /// Content of the node file of one enclosure.
    std::string node_content(const std::string& node) const;

    /// Starts serving on a thread of its own (false when the socket cannot be made) / stops
    /// it. Requests block until answered; stop() also ends a pending delay.
    bool start();
    void stop();

    /// Runs one command through the array (faults, dispatch, journal) and returns its
    /// answer; any transport (the socket server, a kernel target) goes through here.
    answer execute(const command& request);

    std::vector<journal_entry> journal() const;
    void clear_journal();

    /// The host view stored by an array (the bytes of its last host-view send), if any.
    std::optional<std::vector<std::uint8_t>> stored_view(const std::string& array) const;
    /// Sets what an array returns on a host-view receive.
    void set_stored_view(const std::string& array, std::vector<std::uint8_t> bytes);

    /// When set, every stored view is also written to `<directory>/<array>.view` and every
    /// journal entry appended as one line to `<directory>/journal.txt` (process mode).
    void set_state_directory(const std::string& directory);

    const std::string& socket_path() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

/// Text form of a journal entry, one line (used by journal.txt and test messages).
std::string format_entry(const journal_entry& entry);

}  // namespace sim
