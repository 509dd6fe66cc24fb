#include "agent/daemon_mode.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "agent/common.h"
#include "agent/cycle.h"
#include "agent/devices.h"
#include "ground/log.h"

namespace {

constexpr int REBUILD_WAIT_SECONDS = 10;

}  // namespace

// Runs wherever the main flow happens to be (allocator, stdio, device list), so it does
// only async-signal-safe work; _exit closes every device descriptor.
extern "C" void handle_sigterm(int) {
    unlink(PID_FILE);
    _exit(0);
}

void daemonize() {
    const pid_t child = fork();
    if (child < 0)
        std::exit(1);
    // _exit: the daemon owns the descriptors and the process state from here on.
    if (child > 0)
        _exit(0);

    const pid_t session = setsid();
    // Where /dev/null cannot be opened, freopen has still closed the stream: detached either way.
    [[maybe_unused]] std::FILE* in = std::freopen("/dev/null", "r", stdin);
    [[maybe_unused]] std::FILE* out = std::freopen("/dev/null", "w", stdout);
    [[maybe_unused]] std::FILE* err = std::freopen("/dev/null", "w", stderr);

    if (std::FILE* pid_file = std::fopen(PID_FILE, "w")) {
        std::fprintf(pid_file, "%ld\n", static_cast<long>(session));
        std::fclose(pid_file);
    }
}

void run_daemon_mode(bool foreground) {
    signal(SIGTERM, handle_sigterm);
    if (!foreground)
        daemonize();

    for (;;) {
        const unsigned long waits_before = cycle_waits_made();
        if (run_refresh_cycle() != 0) {
            // A cycle that did nothing (intervals that do not fit) must not spin a CPU.
            if (cycle_waits_made() == waits_before)
                cycle_wait(1);
            continue;
        }
        agent_log("Re-building the enclosure device list.\n");
        cycle_wait(REBUILD_WAIT_SECONDS);
        device_list.clear();
        agent_log("Re-building the QELVO scsi enclosure device.\n");
        (void)build_device_list(SCAN_DIRECTORY, device_list);
        open_listed_devices();
    }
}
