#include "agent/cycle.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/chunking.h"
#include "agent/collect.h"
#include "agent/common.h"
#include "agent/config.h"
#include "agent/devices.h"
#include "channel/transfer.h"
#include "ground/limits.h"
#include "ground/log.h"
#include "ground/settings.h"

namespace {

void sleep_whole_seconds(int seconds) {
    if (seconds <= 0)
        return;
    timespec remaining{seconds, 0};
    // Another signal must not cut a refresh interval short.
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};
using view_ptr = std::unique_ptr<char, free_deleter>;

constexpr int DEFAULT_PUSH_INTERVAL = 86400;
constexpr int DEFAULT_REFRESH_INTERVAL = 60;

// The view last pushed in the running cycle; empty between cycles.
view_ptr last_pushed_view;

unsigned long waits_made = 0;

void wait_seconds(int seconds) {
    ++waits_made;
    cycle_wait(seconds);
}

void debug_log(const char* message) {
    if (debug_level)
        agent_log(message);
}

bool fits_one_transfer(const char* view, int& length) {
    const std::size_t size = std::strlen(view) + 1;
    if (size > static_cast<std::size_t>(MAX_TRANSFER))
        return false;
    length = static_cast<int>(size);
    return true;
}

enum class push_outcome { sent, refused, failed };

// Every device is tried whatever the others answered. A device that ends the send with a
// status other than GOOD (BUSY, CHECK CONDITION) has not taken the view: that is logged like
// a failed transfer, but the device list is still good.
push_outcome push_to_every_device(const char* view) {
    int length = 0;
    if (!fits_one_transfer(view, length)) {
        const int result = send_hostinfo_chunked(view);
        if (result == CHUNKED_FAILED)
            return push_outcome::failed;
        return result == CHUNKED_REFUSED ? push_outcome::refused : push_outcome::sent;
    }
    bool failed = false;
    bool refused = false;
    for (std::size_t i = 0; i < device_list.size(); ++i) {
        const enclosure_device& device = device_list[i];
        agent_log("Sending the host info to the VanTor %s.\n", device.serial.c_str());
        const int result = send_hostinfo(device.fd, view, length);
        if (result == -1 || result > 0) {
            agent_log("Failed to send the host information to the VanTor %s .\n",
                      device.serial.c_str());
        }
        failed = failed || result == -1;
        refused = refused || result > 0;
    }
    if (failed)
        return push_outcome::failed;
    return refused ? push_outcome::refused : push_outcome::sent;
}

// False when a pass failed; the cycle then ends at once.
bool run_passes(int passes, int refresh_interval) {
    for (int pass = 0; pass < passes; ++pass) {
        view_ptr pass_view(determine_hostinfo(hostinfo_script));
        if (pass_view) {
            if (last_pushed_view && std::strcmp(pass_view.get(), last_pushed_view.get()) == 0) {
                pass_view.reset();
                debug_log("There is no change in the host view.\n");
            } else {
                debug_log("There is change in the host view, sending the information.\n");
                const push_outcome pushed = push_to_every_device(pass_view.get());
                if (pushed == push_outcome::failed)
                    return false;
                // A refused view is not the pushed one: with no last pushed view, the next
                // pass sends whatever it collects to every device again.
                if (pushed == push_outcome::refused)
                    last_pushed_view.reset();
                else
                    last_pushed_view = std::move(pass_view);
            }
        }
        wait_seconds(refresh_interval);
    }
    return true;
}

// Stores the array's copy in the record; false when it could not be read.
bool fetch_array_view(enclosure_device& device) {
    char* block = nullptr;
    int length = 0;
    if (receive_hostinfo(device.fd, &block, &length) != 0)
        return false;
    if (!terminate_array_view(block, length)) {
        std::free(block);
        return false;
    }
    device.array_view = block;
    return true;
}

// False when a receive or an update failed.
bool read_back() {
    const view_ptr host_view(determine_hostinfo(hostinfo_script));
    // Measured once: the view may be megabytes and is pushed to each device in turn.
    int length = 0;
    const bool whole = host_view && fits_one_transfer(host_view.get(), length);
    bool failed = false;
    for (std::size_t i = 0; i < device_list.size(); ++i) {
        enclosure_device& device = device_list[i];
        device.release_view();
        if (!fetch_array_view(device)) {
            agent_log("Failed to get the host information from the VanTor.\n");
            failed = true;
        }
        if (!host_view) {
            agent_log("Host view is not valid.\n");
            return true;
        }
        if (device.array_view != nullptr && std::strcmp(device.array_view, host_view.get()) == 0) {
            debug_log("The Host view and the Vantor view are identical.\n");
            continue;
        }
        agent_log("Updating VanTor %s with latest host information.\n", device.serial.c_str());
        // A refusing status is logged like a failure but marks none: the next cycle begins
        // at once and pushes its first view to every device anyway.
        if (whole) {
            const int result = send_hostinfo(device.fd, host_view.get(), length);
            if (result == -1 || result > 0)
                agent_log("Unable to send the host view to the VanTor.\n");
            failed = failed || result == -1;
        } else if (send_hostinfo_chunked(host_view.get()) == CHUNKED_FAILED) {
            failed = true;
        }
    }
    return !failed;
}

void end_cycle() {
    last_pushed_view.reset();
    for (std::size_t i = 0; i < device_list.size(); ++i)
        device_list[i].release_view();
}

}  // namespace

wait_function cycle_wait = sleep_whole_seconds;

bool terminate_array_view(char* block, int length) {
    if (block == nullptr || length < 1 || length > MAX_TRANSFER)
        return false;
    block[length - 1] = '\0';
    return true;
}

unsigned long cycle_waits_made() {
    return waits_made;
}

int run_refresh_cycle() {
    int push_interval = read_config_value("PushInterval");
    if (push_interval == 1) {
        agent_log("Could not find tolvad.conf file, setting default value for push interval.");
        push_interval = DEFAULT_PUSH_INTERVAL;
    }
    int refresh_interval = read_config_value("RefreshInterval");
    if (refresh_interval == 1) {
        agent_log("Could not find tolvad.conf file, setting default value for refresh interval.");
        refresh_interval = DEFAULT_REFRESH_INTERVAL;
    }

    if (device_list.empty()) {
        agent_log("There is no QELVO enclosure disk found!");
        if (push_interval > 0)
            wait_seconds(push_interval);
        return 0;
    }
    if (push_interval <= 0 || refresh_interval <= 0 || push_interval <= refresh_interval) {
        return 1;
    }

    const int passes = push_interval / refresh_interval;
    const int result = run_passes(passes, refresh_interval) && read_back() ? 1 : 0;
    end_cycle();
    return result;
}
