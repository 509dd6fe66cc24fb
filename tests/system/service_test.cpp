// The TolvactlSvc init script run by the host's `service` command against the real daemon,
// and Tolvactl's service commands on top of it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

void install_service(rig::sandbox& sb) {
    const std::string target = sb.outside("/etc/init.d/TolvactlSvc");
    mkdir(sb.outside("/etc/init.d").c_str(), 0755);
    std::ifstream in(rig::source_dir() + "/packaging/TolvactlSvc.init", std::ios::binary);
    std::ofstream(target, std::ios::binary) << in.rdbuf();
    ASSERT_EQ(chmod(target.c_str(), 0755), 0);
}

// A zombie is as good as gone: whoever reaps it is not ours.
bool alive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0)
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

std::string stored_text(rig::sandbox& sb, const std::string& array) {
    const auto view = sb.array().stored_view(array);
    if (!view)
        return "";
    std::string text(view->begin(), view->end());
    return text.substr(0, text.find('\0'));
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_service(sb_);
        sb_.add_enclosure("sg1", "alpha", "SERIAL0001");
        sb_.set_config("PushInterval=3600\nRefreshInterval=600\n");
        sb_.set_script_output("HOST=first\n");
    }

    rig::run_result ctl(const std::string& word) { return sb_.run({"/usr/sbin/Tolvactl", word}); }
    rig::run_result service(const std::string& action) {
        return sb_.run({"/usr/sbin/service", "TolvactlSvc", action});
    }

    rig::sandbox sb_;
};

TEST_F(ServiceTest, StartStatusPushRefreshStop) {
    auto r = ctl("start");
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const pid_t first = sb_.daemon_pid();
    ASSERT_GT(first, 0);
    EXPECT_TRUE(alive(first));
    EXPECT_EQ(r.out, "Starting the QELVO Caldrix daemon ..\nTolvactlSvc started (pid " +
                         std::to_string(first) + ").\n");
    // The daemon's first pass pushes the view.
    EXPECT_TRUE(
        rig::sandbox::eventually([&] { return stored_text(sb_, "alpha") == "HOST=first\n"; }));

    // A second start leaves the running daemon alone.
    r = service("start");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(sb_.daemon_pid(), first);

    r = ctl("status");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "Printing the status of QELVO Caldrix daemon: \n"
              "TolvactlSvc is running (pid " +
                  std::to_string(first) +
                  ").\n\n"
                  "The current time interval values are: \n"
                  "Value is PushInterval=3600\nValue is RefreshInterval=600\n\n");

    sb_.set_script_output("HOST=second\n");
    r = ctl("push");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(stored_text(sb_, "alpha"), "HOST=second\n");

    sb_.set_script_output("HOST=third\n");
    r = ctl("refresh");
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const pid_t second = sb_.daemon_pid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_TRUE(rig::sandbox::eventually([&] { return !alive(first); }, 5s));
    EXPECT_TRUE(alive(second));
    EXPECT_EQ(r.out,
              "Refreshing the QELVO Caldrix daemon..\n"
              "TolvactlSvc stopped.\n"
              "Sending the token information immediately\n"
              "TolvactlSvc started (pid " +
                  std::to_string(second) + ").\n");
    EXPECT_EQ(stored_text(sb_, "alpha"), "HOST=third\n");

    r = ctl("stop");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "Stopping the QELVO Caldrix daemon..\nTolvactlSvc stopped.\n");
    EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));
    EXPECT_TRUE(rig::sandbox::eventually([&] { return !alive(second); }, 5s));

    r = service("status");
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "TolvactlSvc is not running.\n");
    r = service("stop");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "TolvactlSvc is not running.\n");
}

TEST_F(ServiceTest, SetTakesEffectAtTheNextCycle) {
    // Intervals that do not fit (a push interval of 1 is the default 86400, not above the
    // refresh interval): every cycle returns at once, sends nothing, and logs the default.
    sb_.set_config("PushInterval=1\nRefreshInterval=100000\n");
    ASSERT_EQ(ctl("start").exit_status, 0);
    const pid_t daemon = sb_.daemon_pid();
    ASSERT_GT(daemon, 0);
    const std::string cycle_mark = "setting default value for push interval.";
    const auto cycles = [&] {
        const std::string log = sb_.log();
        std::size_t n = 0;
        for (auto at = log.find(cycle_mark); at != std::string::npos;
             at = log.find(cycle_mark, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(rig::sandbox::eventually([&] { return cycles() >= 2; }, 10s)) << sb_.log();
    EXPECT_FALSE(sb_.array().stored_view("alpha").has_value());

    EXPECT_EQ(sb_.run({"/usr/sbin/Tolvactl", "set", "RefreshInterval", "600"}).exit_status, 0);
    EXPECT_TRUE(
        rig::sandbox::eventually([&] { return stored_text(sb_, "alpha") == "HOST=first\n"; }, 10s))
        << sb_.log();
    EXPECT_EQ(ctl("stop").exit_status, 0);
}

TEST_F(ServiceTest, StalePidFileOfAnotherProcess) {
    // Our own pid is alive but is no daemon: it must neither count as running nor be killed.
    std::ofstream(sb_.pid_file()) << getpid() << "\n";
    auto r = service("status");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "TolvactlSvc is not running, but /var/run/tolvad.pid exists.\n");

    r = service("start");
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const pid_t daemon = sb_.daemon_pid();
    EXPECT_NE(daemon, getpid());
    EXPECT_TRUE(alive(daemon));
    EXPECT_EQ(service("status").exit_status, 0);
    EXPECT_EQ(service("stop").exit_status, 0);
    EXPECT_TRUE(rig::sandbox::eventually([&] { return !alive(daemon); }, 5s));
}

TEST_F(ServiceTest, StopAfterSigkillRemovesLeftoverPidFile) {
    ASSERT_EQ(service("start").exit_status, 0);
    const pid_t daemon = sb_.daemon_pid();
    ASSERT_GT(daemon, 0);
    kill(daemon, SIGKILL);
    ASSERT_TRUE(rig::sandbox::eventually([&] { return !alive(daemon); }, 5s));
    EXPECT_EQ(service("status").exit_status, 1);
    const auto r = service("stop");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));
}

struct broken_daemon {
    const char* name;
    const char* program;  // nullptr: no program at all
    int status;
};

TEST_F(ServiceTest, StartFailsWhenTheDaemonDoesNotStart) {
    const broken_daemon cases[] = {
        {"missing", nullptr, 5},
        {"exits with an error", "#!/bin/sh\nexit 1\n", 1},
        {"exits at once without a daemon", "#!/bin/sh\nexit 0\n", 1},
    };
    const std::string binary = sb_.outside("/usr/sbin/tolvad");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(binary.c_str());
        if (c.program != nullptr) {
            std::ofstream(binary) << c.program;
            chmod(binary.c_str(), 0755);
        }
        const auto r = ctl("start");
        EXPECT_EQ(r.exit_status, c.status) << r.out << r.err;
        EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));
        EXPECT_EQ(service("status").exit_status, 3);
    }
}

}  // namespace
