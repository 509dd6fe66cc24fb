// SIGTERM at seeded random moments to a foreground daemon that is busy pushing a large,
// ever-changing view: it always ends with status 0, its pid file gone, its log lines whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

// The signals that the process catches, as /proc shows them.
unsigned long long caught_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0)
            return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

bool catches(unsigned long long caught, int signal) {
    return (caught >> (signal - 1)) & 1;
}

// True once the daemon has its own SIGTERM handler (it installs it on entering daemon mode;
// before that SIGTERM ends it by the default action, as it should). A user-mode emulator
// catches every fatal signal from its start, SIGUSR1 too, which the daemon never handles;
// there the first send of the cycle, which follows the handler, tells instead.
bool catches_sigterm(pid_t pid, const rig::sandbox& box) {
    const unsigned long long caught = caught_signals(pid);
    if (catches(caught, SIGUSR1))
        return box.log().find("Sending the host info") != std::string::npos;
    return catches(caught, SIGTERM);
}

TEST(RandomSigterm, ForegroundDaemonEndsCleanlyWheneverItComes) {
    rig::sandbox box;
    box.add_enclosure("sg1", "A", "SERIAL0001");
    box.add_enclosure("sg2", "B", "SERIAL0002");
    std::string view = "HOST h1\n";
    for (int i = 0; i < 5; ++i)
        view += "DEVICE" + std::to_string(i) + " " + std::string(60000, 'a' + i) + "\n";
    std::ofstream(box.outside("/usr/share/zyr/view.bin"), std::ios::binary) << view;
    // A new last section every run of the script: every pass pushes the whole view in chunks.
    box.set_script("cat /usr/share/zyr/view.bin; echo \"DEVICE5 run $$\"\n");
    box.set_config("PushInterval=3\nRefreshInterval=2\n");
    box.array().inject("sg1", {sim::fault_kind::delay, sim::command_kind::hostinfo_send, -1,
                               std::chrono::milliseconds(15)});

    std::mt19937 random(14);  // the same moments on every run
    std::uniform_int_distribution<int> moment_ms(0, 2500);
    constexpr int RUNS = 10;
    for (int run = 0; run < RUNS; ++run) {
        const int moment = moment_ms(random);
        SCOPED_TRACE("run " + std::to_string(run) + ", SIGTERM " + std::to_string(moment) +
                     " ms after the handler is in place");
        std::ofstream(box.pid_file()) << "12345\n";
        std::ofstream(box.log_file(), std::ios::trunc).close();

        const pid_t pid = box.spawn({"/usr/sbin/tolvad", "-f"});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(rig::sandbox::eventually([&] { return catches_sigterm(pid, box); }, 20s));
        const timespec pause{moment / 1000, (moment % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        ASSERT_EQ(kill(pid, SIGTERM), 0);

        const rig::run_result r = box.wait(pid, 20s);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_FALSE(box.exists("/var/run/tolvad.pid"));
        const std::string log = box.log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), '\n');
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(line.empty() || rig::has_time_stamp(line)) << line;
    }
}

}  // namespace
