// The real programs where they meet each other or an unusual start: processes sharing the
// log or the configuration file, closed standard descriptors, a view that cannot go whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

const std::string VIEW = "HOST h1\nDEVICE0 sda 100G\n";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::uint8_t> with_nul(const std::string& text) {
    std::vector<std::uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

bool has_kind(rig::sandbox& box, sim::command_kind kind) {
    for (const auto& e : box.array().journal()) {
        if (e.kind == kind)
            return true;
    }
    return false;
}

TEST(SharedLog, ProgramsRotatingAtOnceRotateOnceAndKeepEveryLineWhole) {
    rig::sandbox box;
    // Far past the threshold, so that every writer started now wants to rotate, and its
    // copy takes long enough for the others to come in.
    const std::string filler_line = "Jan  1 00:00:00 2000 " + std::string(200, 'f') + "\n";
    std::string filler;
    while (filler.size() < (32u << 20))
        filler += filler_line;
    std::ofstream(box.log_file(), std::ios::binary) << filler;

    constexpr int WRITERS = 8;
    const rig::run_result r = box.run(
        {"/bin/sh", "-c",
         "for i in 1 2 3 4 5 6 7 8; do (/usr/sbin/tolvad -g \"writer $i\"; echo \"status $?\") & "
         "done; wait"},
        {}, 120s);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string all_zero;
    for (int i = 0; i < WRITERS; ++i)
        all_zero += "status 0\n";
    EXPECT_EQ(r.out, all_zero) << "a writer died (SIGBUS is 135)";

    // One rotation: the filler moved whole to copy 0; every writer's line is in the live log.
    EXPECT_TRUE(read_file(box.log_file() + ".0") == filler);
    EXPECT_FALSE(exists(box.log_file() + ".1"));
    const std::vector<std::string> messages = box.log_messages();
    std::vector<std::string> sorted(messages.begin(), messages.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> expected;
    for (int i = 1; i <= WRITERS; ++i)
        expected.push_back("writer " + std::to_string(i));
    EXPECT_EQ(sorted, expected);
    std::istringstream lines(box.log());
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(rig::has_time_stamp(line)) << line;
}

TEST(StandardDescriptors, ClosedAtStartTheDaemonStillReachesItsDevice) {
    const struct {
        const char* name;
        const char* redirection;
    } cases[] = {{"input", "<&-"}, {"output", ">&-"}, {"error", "2>&-"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rig::sandbox box;
        box.add_enclosure("sg1", "A", "SERIAL0001");
        box.set_script_output(VIEW);
        box.set_config("PushInterval=60\nRefreshInterval=2\n");
        // The first device would take the closed number, which daemonize then reopens.
        const rig::run_result start =
            box.run({"/bin/sh", "-c", std::string("exec /usr/sbin/tolvad ") + c.redirection});
        EXPECT_EQ(start.exit_status, 0);
        EXPECT_TRUE(rig::sandbox::eventually(
            [&] { return box.array().stored_view("A") == with_nul(VIEW); }, 15s))
            << box.log();
        EXPECT_EQ(box.log().find("Failed to send"), std::string::npos) << box.log();
        const pid_t daemon = box.daemon_pid();
        ASSERT_GT(daemon, 0);
        EXPECT_EQ(kill(daemon, SIGTERM), 0);
        EXPECT_TRUE(rig::sandbox::eventually([&] { return !box.exists("/var/run/tolvad.pid"); }));
    }
}

TEST(ConcurrentSet, BothChangesLandAndReadersSeeOnlyWholeFiles) {
    rig::sandbox box;
    box.set_config("PushInterval=86400\nRefreshInterval=60\n");
    constexpr int ROUNDS = 20;
    const std::string conf = "/etc/qelvo/caldrix/tolvad.conf";
    const std::string script =
        "r=1; while [ $r -le " + std::to_string(ROUNDS) +
        " ]; do\n"
        "  /usr/sbin/Tolvactl set PushInterval $((1000 + r)) >/dev/null & a=$!\n"
        "  /usr/sbin/Tolvactl set RefreshInterval $((10 + r)) >/dev/null & b=$!\n"
        "  wait $a; sa=$?; wait $b; sb=$?\n"
        "  echo \"round $r: $sa $sb\"; cat " +
        conf +
        "\n"
        "  r=$((r + 1))\n"
        "done\n";

    // Stands in for the daemon, which opens the file by its path at every cycle.
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::string bad_example;
    std::thread reader([&] {
        const std::regex whole("PushInterval=[0-9]+\nRefreshInterval=[0-9]+\n");
        while (!done) {
            const std::string seen = read_file(box.config_file());
            if (!std::regex_match(seen, whole) && bad_reads++ == 0)
                bad_example = seen;
        }
    });
    const rig::run_result r = box.run({"/bin/sh", "-c", script}, {}, 120s);
    done = true;
    reader.join();

    std::string expected;
    for (int round = 1; round <= ROUNDS; ++round) {
        expected += "round " + std::to_string(round) + ": 0 0\n";
        expected += "PushInterval=" + std::to_string(1000 + round) + "\n";
        expected += "RefreshInterval=" + std::to_string(10 + round) + "\n";
    }
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(bad_reads.load(), 0) << "for instance: \"" << bad_example << "\"";
    EXPECT_FALSE(box.exists(conf + ".tmp"));
}

TEST(OverlongSection, IsLeftOutWithoutFailingTheDaemonCycle) {
    rig::sandbox box;
    box.add_enclosure("sg1", "A", "SERIAL0001");
    const std::string view =
        "HOST h1\nDEVICE0 sda\nDEVICE1 " + std::string(70000, 'x') + "\nDEVICE2 sdc\n";
    box.set_script_output(view);
    box.set_config("PushInterval=3\nRefreshInterval=2\n");
    const pid_t pid = box.spawn({"/usr/sbin/tolvad", "-f"});
    ASSERT_GT(pid, 0);

    // The read-back runs only after a cycle's passes went through.
    EXPECT_TRUE(rig::sandbox::eventually(
        [&] { return has_kind(box, sim::command_kind::hostinfo_receive); }, 20s))
        << box.log();
    const std::string log = box.log();
    EXPECT_NE(log.find("Section DEVICE1 of the host view is too long for one transfer"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Re-building the enclosure device list."), std::string::npos) << log;
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(box.wait(pid, 10s).exit_status, 0);
}

}  // namespace
