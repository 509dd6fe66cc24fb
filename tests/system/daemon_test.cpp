// The real daemon in daemon mode, in the sandbox against the simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

const std::string VIEW1 = "HOST h1\nDEVICE0 sda 100G\n";
const std::string VIEW2 = "HOST h1\nDEVICE0 sda 100G\nDEVICE1 sdb 2T\n";

std::vector<std::uint8_t> with_nul(const std::string& text) {
    std::vector<std::uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

std::string read_proc(pid_t pid, const char* what) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + what);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Gone, or a zombie waiting for its reaper.
bool has_ended(pid_t pid) {
    const std::string stat = read_proc(pid, "stat");
    const auto close_paren = stat.rfind(')');
    return stat.empty() || (close_paren != std::string::npos && stat[close_paren + 2] == 'Z');
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        box_.add_enclosure("sg1", "A", "SERIAL0001");
        box_.set_script_output(VIEW1);
        box_.set_config("PushInterval=60\nRefreshInterval=2\n");
    }
    bool stored_is(const std::string& array, const std::string& view) {
        return box_.array().stored_view(array) == with_nul(view);
    }

    rig::sandbox box_;
};

TEST_F(DaemonTest, ForegroundPushesChangesAndEndsCleanlyOnSigterm) {
    // A foreground run writes no pid file but removes one on SIGTERM all the same.
    std::ofstream(box_.pid_file()) << "12345\n";
    const pid_t pid = box_.spawn({"/usr/sbin/tolvad", "-f"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(rig::sandbox::eventually([&] { return stored_is("A", VIEW1); }, 15s));

    box_.set_script_output(VIEW2);
    // The next pass, at most one refresh interval away, pushes the change.
    EXPECT_TRUE(rig::sandbox::eventually([&] { return stored_is("A", VIEW2); }, 5s));
    EXPECT_EQ(box_.read("/var/run/tolvad.pid"), "12345\n");

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const rig::run_result result = box_.wait(pid, 10s);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(box_.exists("/var/run/tolvad.pid"));
}

TEST_F(DaemonTest, BackgroundStartWritesPidFileAndSigtermRemovesIt) {
    const rig::run_result start = box_.run({"/usr/sbin/tolvad"}, {}, 20s);
    EXPECT_EQ(start.exit_status, 0);
    ASSERT_TRUE(rig::sandbox::eventually([&] { return box_.daemon_pid() > 0; }, 10s));
    const pid_t pid = box_.daemon_pid();
    EXPECT_EQ(box_.read("/var/run/tolvad.pid"), std::to_string(pid) + "\n");
    EXPECT_EQ(read_proc(pid, "comm"), "tolvad\n");
    // Detached into a session of its own.
    EXPECT_EQ(getsid(pid), pid);
    EXPECT_TRUE(rig::sandbox::eventually([&] { return stored_is("A", VIEW1); }, 15s));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(rig::sandbox::eventually([&] { return has_ended(pid); }, 10s));
    EXPECT_FALSE(box_.exists("/var/run/tolvad.pid"));
}

TEST_F(DaemonTest, FailedCycleRebuildsTheListAndFindsANewEnclosure) {
    box_.array().inject("sg1",
                        {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_send, -1});
    const pid_t pid = box_.spawn({"/usr/sbin/tolvad", "-f"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(rig::sandbox::eventually(
        [&] {
            return box_.log().find("Re-building the enclosure device list.\n") != std::string::npos;
        },
        15s));
    // Appears while the daemon waits before its rescan.
    box_.add_enclosure("sg2", "B", "SERIAL0002");
    box_.array().clear_faults("sg1");

    EXPECT_TRUE(rig::sandbox::eventually([&] { return stored_is("B", VIEW1); }, 30s));
    // Directory order may put B's node first in the rebuilt list.
    EXPECT_TRUE(rig::sandbox::eventually([&] { return stored_is("A", VIEW1); }, 10s));
    // The 10-second wait before the rescan: CycleTest, with the wait recorded.
    kill(pid, SIGTERM);
    EXPECT_EQ(box_.wait(pid, 10s).exit_status, 0);
}

}  // namespace
