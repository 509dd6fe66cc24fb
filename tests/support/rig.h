// Test rig: a sandboxed root with the simulated array, and runs of the real programs in it.
//
// Inside the sandbox (a private mount namespace made by tolva-sandbox) "//dev" is
// <root>/dev, "/run" (and so "/var/run") is <root>/run, and /etc, /var and /usr are overlays
// whose writes land in <root>/etc, <root>/var and <root>/usr. /usr/sbin/tolvad and
// /usr/sbin/Tolvactl are the binaries under test; /etc/ld.so.preload loads the virtual sg
// layer into every process of the sandbox (also those that `service` starts with a clean
// environment). Spawned programs run in a process group of their own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim.h"

namespace rig {

struct run_result {
    int exit_status = -1;  ///< exit status, or -1 when killed by a signal
    int signal = 0;        ///< terminating signal, 0 when it exited
    std::string out;       ///< standard output
    std::string err;       ///< standard error
};

/// Paths of the built programs (from the build).
std::string tolvad_binary();
std::string tolvactl_binary();
std::string sandbox_binary();
std::string tunnel_binary();  ///< tolva-tunnel, the rig's entry to the port tunnel
std::string layer_library();

/// True when this process runs with the virtual sg layer preloaded, as ctest starts the
/// system tests; tests that drive the channel in-process check it first.
bool layer_preloaded();
inline constexpr const char* NOT_PRELOADED =
    "run through ctest: the virtual sg layer must be preloaded";
std::string source_dir();

/// True when `line` begins with a log time stamp: the 20 characters "Mmm dd hh:mm:ss yyyy"
/// (ctime's text from its fifth character, the day padded with a blank) and then a blank.
/// Tests check the stamp of every log line with it; log_messages() strips exactly these 21.
bool has_time_stamp(std::string_view line);

class sandbox {
  public:
    /// Makes a fresh temporary root with the fixed folders (including the log directory)
    /// and a simulator whose socket lies in the root; the simulator starts serving at once.
    sandbox();
    /// Stops every process started in this sandbox (daemons included), the simulator, and
    /// removes the root.
    ~sandbox();
    sandbox(const sandbox&) = delete;
    sandbox& operator=(const sandbox&) = delete;

    const std::string& root() const { return root_; }
    sim::simulator& array() { return *sim_; }

    /// Adds an enclosure to the simulator and writes its node into <root>/dev.
    void add_enclosure(const std::string& node, const std::string& array_name,
                       const std::string& serial_field, const std::string& vendor = "Trevasko");
    void add_enclosure(const sim::enclosure_config& config);

    /// Outside paths of the fixed files.
    std::string dev_dir() const;      ///< //dev
    std::string config_file() const;  ///< /etc/qelvo/caldrix/tolvad.conf
    std::string log_dir() const;      ///< /var/log/qelvo/caldrix
    std::string log_file() const;     ///< .../tolvad.log
    std::string pid_file() const;     ///< /var/run/tolvad.pid
    std::string script_file() const;  ///< /usr/share/zyr/zyr_hostinfo

    /// Writes the host-information script (a /bin/sh script body; "#!/bin/sh\n" is added).
    void set_script(const std::string& body);
    /// Makes the script print exactly these bytes.
    void set_script_output(const std::string& bytes);
    void set_config(const std::string& content);
    void remove_log_dir();

    /// Reads a file below the root (a path as seen inside, e.g.
    /// "/var/log/qelvo/caldrix/tolvad.log").
    std::string read(const std::string& inside_path) const;
    bool exists(const std::string& inside_path) const;
    /// Outside path of an inside path.
    std::string outside(const std::string& inside_path) const;

    /// Log text, and the messages of its lines (the text after the 20-character time stamp
    /// and the blank, one entry per line; the empty line after a "\n" message is its own entry).
    std::string log() const;
    std::vector<std::string> log_messages() const;

    /// Runs argv inside the sandbox and waits for it. argv[0] is a path inside the sandbox,
    /// e.g. "/usr/sbin/tolvad". `env` is added to the environment.
    run_result run(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env = {},
                   std::chrono::seconds timeout = std::chrono::seconds(60));

    /// Starts argv inside the sandbox without waiting; its output goes to files in the root.
    pid_t spawn(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env = {});
    /// Waits for a spawned process.
    run_result wait(pid_t pid, std::chrono::seconds timeout = std::chrono::seconds(60));

    /// Polls until `predicate` holds or the timeout passes; returns the predicate's last value.
    template <class Predicate>
    static bool eventually(Predicate predicate,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));

    /// Pid held in the pid file, or -1.
    pid_t daemon_pid() const;

  private:
    std::string root_;
    std::unique_ptr<sim::simulator> sim_;
    std::vector<pid_t> spawned_;
    struct output_files {
        std::string out, err, command;
    };
    std::map<pid_t, output_files> outputs_;
    int next_output_ = 0;
};

template <class Predicate>
bool sandbox::eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate())
            return true;
        struct timespec ts {
            0, 50 * 1000 * 1000
        };
        nanosleep(&ts, nullptr);
    }
    return predicate();
}

}  // namespace rig
