// The refresh/push cycle in-process against the simulator; waits are recorded, not slept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "agent/common.h"
#include "agent/config.h"
#include "agent/cycle.h"
#include "agent/daemon_mode.h"
#include "agent/devices.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tests/support/rig.h"
#include "tests/unit/stop_capture.h"

namespace {

std::vector<int> waits;
std::function<void(int)> on_wait;

void record_wait(int seconds) {
    waits.push_back(seconds);
    if (on_wait)
        on_wait(seconds);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class CycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = box_.config_file();
        log_dir_ = box_.log_dir();
        script_ = box_.root() + "/view_script";
        view_file_ = box_.root() + "/view.txt";
        marker_ = box_.root() + "/script_ran";
        std::ofstream(script_) << "#!/bin/sh\ntouch " << marker_ << "\ncat " << view_file_ << "\n";
        chmod(script_.c_str(), 0755);
        config_path = config_.c_str();
        log_directory = log_dir_.c_str();
        hostinfo_script = script_.c_str();
        cycle_wait = record_wait;
        waits.clear();
        on_wait = nullptr;
        device_list.clear();
    }
    void TearDown() override {
        device_list.clear();
        on_wait = nullptr;
        debug_level = 0;
    }

    void add(const std::string& node, const std::string& array, const std::string& serial) {
        box_.add_enclosure(node, array, serial);
    }
    void open_devices() {
        device_list.clear();
        ASSERT_EQ(build_device_list(box_.dev_dir().c_str(), device_list), 0);
        open_listed_devices();
    }
    void two_devices() {
        add("sg1", "A", "SERIAL0001");
        add("sg2", "B", "SERIAL0002");
        open_devices();
        ASSERT_EQ(device_list.size(), 2u);
        // The list keeps directory order, which need not be sg1 first.
        first_ = device_list[0].name;
        second_ = device_list[1].name;
        first_serial_ = device_list[0].serial;
        box_.array().clear_journal();  // drop the discovery's INQUIRY commands
    }
    void set_view(const std::string& text) { std::ofstream(view_file_, std::ios::binary) << text; }
    void set_config(const std::string& text) { box_.set_config(text); }

    int count(const std::string& node, sim::command_kind kind) {
        int n = 0;
        for (const auto& e : box_.array().journal())
            n += e.enclosure == node && e.kind == kind;
        return n;
    }
    int sends(const std::string& node) { return count(node, sim::command_kind::hostinfo_send); }
    int receives(const std::string& node) {
        return count(node, sim::command_kind::hostinfo_receive);
    }
    std::vector<std::uint8_t> stored(const std::string& array) {
        return box_.array().stored_view(array).value_or(std::vector<std::uint8_t>{});
    }
    static std::vector<std::uint8_t> bytes_with_nul(const std::string& text) {
        std::vector<std::uint8_t> v(text.begin(), text.end());
        v.push_back(0);
        return v;
    }
    void expect_no_array_views() {
        for (std::size_t i = 0; i < device_list.size(); ++i) {
            EXPECT_EQ(device_list[i].array_view, nullptr) << i;
        }
    }

    rig::sandbox box_;
    std::string config_, log_dir_, script_, view_file_, marker_;
    std::string first_, second_, first_serial_;
};

const std::string VIEW = "HOST h1\nDEVICE0 sda 100G\nDEVICE1 sdb 200G\n";

TEST_F(CycleTest, FirstCollectionIsPushedAndUnchangedViewsAreNot) {
    two_devices();
    set_config("PushInterval=6\nRefreshInterval=2\n");
    set_view(VIEW);
    debug_level = 1;

    EXPECT_EQ(run_refresh_cycle(), 1);
    EXPECT_EQ(waits, (std::vector<int>{2, 2, 2}));
    for (const char* node : {"sg1", "sg2"}) {
        EXPECT_EQ(sends(node), 1) << node;
        EXPECT_EQ(receives(node), 1) << node;
    }
    EXPECT_EQ(stored("A"), bytes_with_nul(VIEW));
    const std::string log = box_.log();
    EXPECT_EQ(occurrences(log, "There is no change in the host view.\n"), 2u);
    EXPECT_EQ(occurrences(log, "The Host view and the Vantor view are identical.\n"), 2u);
    expect_no_array_views();

    // Nothing survives a cycle: the next one pushes its first collection again, and a view
    // that changes after the first pass goes out once more.
    const std::string changed = VIEW + "DEVICE2 sdc 1T\n";
    waits.clear();
    on_wait = [&](int) {
        if (waits.size() == 1)
            set_view(changed);
    };
    EXPECT_EQ(run_refresh_cycle(), 1);
    EXPECT_EQ(sends("sg1"), 3);
    EXPECT_EQ(sends("sg2"), 3);
    EXPECT_EQ(stored("B"), bytes_with_nul(changed));
    expect_no_array_views();
}

TEST_F(CycleTest, FailedPassEndsCycleAtOnceWithoutReadBack) {
    struct failure_case {
        const char* name;
        std::string view;
        bool fault;
        int sends_second;
    };
    const failure_case cases[] = {
        {"ioctl error on the first device", VIEW, true, 1},
        {"large view without DEVICE0", std::string(70000, 'x'), false, 0},
    };
    two_devices();
    set_config("PushInterval=6\nRefreshInterval=2\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        box_.array().clear_journal();
        waits.clear();
        if (c.fault) {
            box_.array().inject(
                first_, {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_send, -1});
        }
        set_view(c.view);
        EXPECT_EQ(run_refresh_cycle(), 0);
        EXPECT_TRUE(waits.empty());
        EXPECT_EQ(sends(second_), c.sends_second);  // the other device is still tried
        EXPECT_EQ(receives("sg1") + receives("sg2"), 0);
        box_.array().clear_faults(first_);
        expect_no_array_views();
    }
    const std::string log = box_.log();
    EXPECT_EQ(occurrences(log, "Failed to send the host information to the VanTor " +
                                   first_serial_ + " .\n"),
              1u);
    EXPECT_EQ(occurrences(log, "The Token buffer is invalid. \n"), 1u);
}

std::string large_view(int sections, int section_size);

TEST_F(CycleTest, RefusedSendIsLoggedAndTheNextPassSendsAgain) {
    struct refusal_case {
        const char* name;
        std::string view;
        sim::fault_kind fault;
        std::string failure_line;
    };
    two_devices();
    const refusal_case cases[] = {
        {"BUSY, whole view", VIEW, sim::fault_kind::busy,
         "Failed to send the host information to the VanTor " + first_serial_ + " .\n"},
        {"CHECK CONDITION, chunked view", large_view(3, 30000), sim::fault_kind::check_condition,
         "1A Failed to send the host information to the VanTor " + first_serial_ + " .\n"},
    };
    set_config("PushInterval=4\nRefreshInterval=2\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        box_.array().clear_journal();
        waits.clear();
        set_view(c.view);
        box_.array().inject(first_, {c.fault, sim::command_kind::hostinfo_send, 1});
        std::vector<int> sends_at_wait;
        on_wait = [&](int) { sends_at_wait.push_back(sends(second_)); };

        // No rebuild for it: the cycle goes on.
        EXPECT_EQ(run_refresh_cycle(), 1);
        EXPECT_NE(box_.log().find(c.failure_line), std::string::npos);
        // The unchanged view went to every device once more in the second pass.
        ASSERT_EQ(sends_at_wait.size(), 2u);
        EXPECT_EQ(sends_at_wait[1], 2 * sends_at_wait[0]);
        expect_no_array_views();
    }
}

TEST_F(CycleTest, DeviceWithoutDescriptorPassesButFailsTheReadBack) {
    two_devices();
    close(device_list[0].fd);
    device_list[0].fd = -1;
    set_config("PushInterval=4\nRefreshInterval=2\n");
    set_view(VIEW);

    EXPECT_EQ(run_refresh_cycle(), 0);
    EXPECT_EQ(waits, (std::vector<int>{2, 2}));
    EXPECT_EQ(sends(first_) + receives(first_), 0);
    EXPECT_EQ(sends(second_), 1);
    EXPECT_EQ(receives(second_), 1);
    const std::string log = box_.log();
    EXPECT_EQ(occurrences(log, "Failed to get the host information from the VanTor.\n"), 1u);
    // The device is updated all the same, its send again counting as success.
    EXPECT_EQ(
        occurrences(log, "Updating VanTor " + first_serial_ + " with latest host information.\n"),
        1u);
    EXPECT_EQ(occurrences(log, "Updating VanTor"), 1u);
    EXPECT_EQ(occurrences(log, "Unable to send"), 0u);
    expect_no_array_views();
}

TEST_F(CycleTest, ReadBackUpdatesOnlyTheArrayWhoseCopyDiffers) {
    two_devices();
    set_config("PushInterval=4\nRefreshInterval=2\n");
    set_view(VIEW);
    on_wait = [&](int) {
        if (waits.size() == 2)
            box_.array().set_stored_view("B", bytes_with_nul("stale"));
    };

    EXPECT_EQ(run_refresh_cycle(), 1);
    EXPECT_EQ(sends("sg1"), 1);
    EXPECT_EQ(sends("sg2"), 2);
    EXPECT_EQ(stored("B"), bytes_with_nul(VIEW));
    const std::string log = box_.log();
    EXPECT_EQ(occurrences(log, "Updating VanTor 0002 with latest host information.\n"), 1u);
    EXPECT_EQ(occurrences(log, "Updating VanTor 0001"), 0u);
    expect_no_array_views();
}

TEST_F(CycleTest, MissingReadBackViewStopsAfterTheFirstReceive) {
    two_devices();
    set_config("PushInterval=4\nRefreshInterval=2\n");
    for (bool receive_fails : {false, true}) {
        SCOPED_TRACE(receive_fails ? "first receive fails" : "first receive works");
        box_.array().clear_journal();
        waits.clear();
        if (receive_fails) {
            box_.array().inject(
                first_, {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_receive, -1});
        }
        set_view(VIEW);
        on_wait = [&](int) {
            if (waits.size() == 2)
                set_view("");
        };
        // The failure mark is not looked at once the read-back view is missing.
        EXPECT_EQ(run_refresh_cycle(), 1);
        EXPECT_EQ(receives(first_), 1);
        EXPECT_EQ(receives(second_), 0);
        EXPECT_EQ(sends(first_), 1);
        expect_no_array_views();
        box_.array().clear_faults(first_);
    }
    EXPECT_EQ(occurrences(box_.log(), "Host view is not valid.\n"), 2u);
}

std::string large_view(int sections, int section_size) {
    std::string view = "HEAD of host h1\n";
    for (int i = 0; i < sections; ++i) {
        std::string section = "DEVICE" + std::to_string(i) + " ";
        section += std::string(section_size - section.size() - 1, 'a' + i) + "\n";
        view += section;
    }
    return view;
}

TEST_F(CycleTest, LargeViewGoesInChunksAndEveryDeviceUpdateResendsAll) {
    two_devices();
    set_config("PushInterval=3\nRefreshInterval=2\n");
    set_view(large_view(3, 30000));
    int per_pass = 0;
    int per_pass_sg2 = 0;
    on_wait = [&](int) {
        per_pass = sends("sg1");
        per_pass_sg2 = sends("sg2");
    };

    EXPECT_EQ(run_refresh_cycle(), 1);
    ASSERT_GE(per_pass, 2);
    EXPECT_EQ(per_pass_sg2, per_pass);
    // A copy never equals a view over one transfer, so each device's update sends the
    // whole series to every device.
    EXPECT_EQ(sends("sg1"), 3 * per_pass);
    EXPECT_EQ(sends("sg2"), 3 * per_pass);
    expect_no_array_views();
}

TEST_F(CycleTest, ViewOfOneFullTransferIsSentWholeAndMatchesTheCopy) {
    two_devices();
    set_config("PushInterval=3\nRefreshInterval=2\n");
    const std::string view = "DEVICE0 " + std::string(65534 - 9, 'z') + "\n";
    ASSERT_EQ(view.size(), 65534u);
    set_view(view);

    EXPECT_EQ(run_refresh_cycle(), 1);
    EXPECT_EQ(sends("sg1"), 1);
    EXPECT_EQ(sends("sg2"), 1);
    for (const auto& e : box_.array().journal()) {
        if (e.kind == sim::command_kind::hostinfo_send) {
            EXPECT_EQ(e.data_out.size(), 65535u);
        }
    }
    EXPECT_EQ(occurrences(box_.log(), "Updating VanTor"), 0u);
}

TEST_F(CycleTest, MissingConfigurationRunsTheDefault1440Passes) {
    two_devices();
    set_view(VIEW);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_refresh_cycle(), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(waits.size(), 1440u);
    EXPECT_EQ(waits.front(), 60);
    EXPECT_EQ(waits.back(), 60);
    EXPECT_EQ(sends("sg1"), 1);
    EXPECT_EQ(receives("sg1"), 1);
    const std::string log = box_.log();
    EXPECT_EQ(occurrences(log, "setting default value for push interval."), 1u);
    EXPECT_EQ(occurrences(log, "setting default value for refresh interval."), 1u);
}

TEST_F(CycleTest, IntervalsThatDoNotFitReturnAtOnce) {
    two_devices();
    set_view(VIEW);
    const char* configs[] = {
        "PushInterval=60\nRefreshInterval=60\n",
        "PushInterval=0\nRefreshInterval=2\n",
        "PushInterval=10\nRefreshInterval=0\n",
        "PushInterval=-6\nRefreshInterval=2\n",
        "PushInterval=2\nRefreshInterval=5\n",
        "RefreshInterval=2\n",
        "PushInterval=abc\nRefreshInterval=2\n",
        // 1 gives the default 86400, which is not above the refresh interval.
        "PushInterval=1\nRefreshInterval=100000\n",
    };
    for (const char* config : configs) {
        SCOPED_TRACE(config);
        set_config(config);
        EXPECT_EQ(run_refresh_cycle(), 1);
        EXPECT_TRUE(waits.empty());
        EXPECT_TRUE(box_.array().journal().empty());
        EXPECT_NE(access(marker_.c_str(), F_OK), 0) << "the script ran";
    }
    EXPECT_EQ(occurrences(box_.log(), "setting default value for push interval."), 1u);
}

TEST_F(CycleTest, EmptyDeviceListWaitsThePushIntervalAndFails) {
    set_view(VIEW);
    const struct {
        const char* config;
        std::vector<int> waits;
    } cases[] = {
        {"PushInterval=7\nRefreshInterval=2\n", {7}},
        {"PushInterval=0\nRefreshInterval=2\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        waits.clear();
        set_config(c.config);
        EXPECT_EQ(run_refresh_cycle(), 0);
        EXPECT_EQ(waits, c.waits);
    }
    EXPECT_EQ(occurrences(box_.log(), "There is no QELVO enclosure disk found!"), 2u);
    EXPECT_NE(access(marker_.c_str(), F_OK), 0);
}

}  // namespace

namespace {

// Daemon mode never returns: it runs in an isolated child whose waits are logged, and the
// child ends at its `last`-th wait.
child_outcome run_daemon_until_wait(int last) {
    return run_isolated([last] {
        alarm(30);  // a daemon that stopped waiting would spin here for ever
        int made = 0;
        on_wait = [&made, last](int seconds) {
            agent_log("wait %d", seconds);
            if (++made == last)
                _exit(0);
        };
        run_daemon_mode(true);
    });
}

std::vector<std::string> messages_of(const std::string& log) {
    std::vector<std::string> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        out.push_back(rig::has_time_stamp(line) ? line.substr(21) : line);
    return out;
}

TEST_F(CycleTest, DaemonWaitsTenSecondsBetweenAFailedCycleAndTheRescan) {
    two_devices();
    set_config("PushInterval=4\nRefreshInterval=2\n");
    set_view(VIEW);
    box_.array().inject(first_,
                        {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_send, -1});
    const child_outcome outcome = run_daemon_until_wait(1);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exit_status, 0);
    const std::vector<std::string> messages = messages_of(box_.log());
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(messages.end() - 3, messages.end()),
              (std::vector<std::string>{"Re-building the enclosure device list.", "", "wait 10"}));
    EXPECT_EQ(box_.log().find("Re-building the QELVO scsi enclosure device."), std::string::npos);
}

TEST_F(CycleTest, DaemonWaitsASecondAfterEachCycleThatDidNothing) {
    two_devices();
    // Intervals that do not fit: every cycle returns at once without a wait of its own.
    set_config("PushInterval=5\nRefreshInterval=5\n");
    set_view(VIEW);
    const child_outcome outcome = run_daemon_until_wait(3);
    EXPECT_EQ(outcome.signal, 0) << "no wait between cycles";
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(messages_of(box_.log()), (std::vector<std::string>{"wait 1", "wait 1", "wait 1"}));
    EXPECT_TRUE(box_.array().journal().empty());
    EXPECT_NE(access(marker_.c_str(), F_OK), 0) << "the script ran";
}

}  // namespace
