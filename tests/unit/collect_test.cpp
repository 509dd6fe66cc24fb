#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent/collect.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tests/support/scratch_log.h"
#include "tests/unit/stop_capture.h"

namespace {

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};
using owned_text = std::unique_ptr<char, free_deleter>;

class Collect : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        directory_ = scratch_.path();
        debug_level = 0;
    }
    void TearDown() override {
        debug_level = 0;
        // Every call must have waited for its child.
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    std::string path(const std::string& name) const { return directory_ + "/" + name; }

    void write_file(const std::string& name, const std::string& content, mode_t mode) const {
        {
            std::ofstream out(path(name), std::ios::binary);
            out << content;
        }
        ASSERT_EQ(chmod(path(name).c_str(), mode), 0);
    }

    // A script whose output is exactly `bytes`.
    std::string script_printing(const std::string& bytes, int exit_status = 0) const {
        write_file("data", bytes, 0644);
        write_file(
            "script",
            "#!/bin/sh\ncat '" + path("data") + "'\nexit " + std::to_string(exit_status) + "\n",
            0755);
        return path("script");
    }

    std::string script_body(const std::string& body) const {
        write_file("script", "#!/bin/sh\n" + body, 0755);
        return path("script");
    }

    std::string log() const { return scratch_.text(); }

    rig::scratch_log scratch_;
    std::string directory_;
};

std::string pattern_of(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('!' + i % 90);
    return bytes;
}

TEST_F(Collect, ReturnsTheWholeOutputAcrossGrowthBoundaries) {
    for (std::size_t size : {std::size_t{1}, std::size_t{65534}, std::size_t{65535},
                             std::size_t{65536}, std::size_t{131071}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        const std::string expected = pattern_of(size);
        owned_text text(determine_hostinfo(script_printing(expected).c_str()));
        ASSERT_NE(text, nullptr);
        ASSERT_EQ(std::strlen(text.get()), size);
        EXPECT_EQ(std::memcmp(text.get(), expected.data(), size), 0);
    }
}

TEST_F(Collect, OutputBeforeAFailingExitStillCounts) {
    owned_text text(determine_hostinfo(script_printing("DEVICE0 a\n", 3).c_str()));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "DEVICE0 a\n");
}

TEST_F(Collect, LeadingNulIsOutputNotAbsence) {
    owned_text text(determine_hostinfo(script_printing(std::string("\0abc", 4)).c_str()));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "");
    EXPECT_EQ(std::memcmp(text.get(), "\0abc\0", 5), 0);
}

TEST_F(Collect, NothingCollectedGivesNullAndTheDebugOnlyMessage) {
    const std::string empty = script_printing("");
    const std::string missing = path("no-such-script");
    write_file("not-executable", "#!/bin/sh\necho hello\n", 0644);
    const std::string not_executable = path("not-executable");
    const std::string message = "In determine_hostinfo: Script error or Empty output.\n";

    for (const std::string& script : {empty, missing, not_executable}) {
        SCOPED_TRACE(script);
        debug_level = 0;
        EXPECT_EQ(determine_hostinfo(script.c_str()), nullptr);
        EXPECT_EQ(log().find(message), std::string::npos);
    }
    for (const std::string& script : {empty, missing, not_executable}) {
        SCOPED_TRACE(script);
        debug_level = 1;
        const std::size_t before = log().size();
        EXPECT_EQ(determine_hostinfo(script.c_str()), nullptr);
        EXPECT_NE(log().find(message, before), std::string::npos);
    }
}

TEST_F(Collect, ScriptSeesOnlyItsStandardOutput) {
    // Inheritable descriptors of the daemon (devices, sockets) must not reach the script.
    // Also above 1023: the tunnel's sockets may lie there.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 1501 && files.rlim_max >= 1501) {
        files.rlim_cur = 1501;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    }
    const int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    ASSERT_EQ(dup2(null_fd, 50), 50);
    ASSERT_EQ(dup2(null_fd, 1000), 1000);
    ASSERT_EQ(dup2(null_fd, 1500), 1500);
    // readlink with no redirection opens nothing; it prints the target of each open one.
    const std::string script = script_body(
        "for n in 0 1 2 3 4 5 6 7 8 9 10 11 12 50 1000 1500; do\n"
        "  printf '%s:' $n; readlink /proc/self/fd/$n || echo closed\n"
        "done\n"
        "echo \"args:$#:$0\"\n");
    owned_text text(determine_hostinfo(script.c_str()));
    close(null_fd);
    close(50);
    close(1000);
    close(1500);
    ASSERT_NE(text, nullptr);

    std::string expected;
    for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 50, 1000, 1500}) {
        expected += std::to_string(n) + ":" + (n == 1 ? "pipe" : "closed") + "\n";
    }
    expected += "args:0:" + script + "\n";
    std::string seen = text.get();
    // The pipe's inode number varies.
    const std::size_t pipe_at = seen.find("1:pipe:[");
    ASSERT_NE(pipe_at, std::string::npos) << seen;
    seen.erase(pipe_at + 6, seen.find('\n', pipe_at) - (pipe_at + 6));
    EXPECT_EQ(seen, expected);
}

// Set inside an isolated child only: where the stand-in for the daemon's SIGTERM handler
// reports, and whether each child that fork makes signals itself at once.
int handler_report = -1;
volatile sig_atomic_t terminate_forked_children = 0;

extern "C" void report_and_exit(int) {
    const char mark = 'H';
    (void)!write(handler_report, &mark, 1);
    _exit(0);
}

void terminate_self_after_fork() {
    if (terminate_forked_children)
        kill(getpid(), SIGTERM);
}

TEST_F(Collect, SigtermBeforeTheScriptStartsNeverRunsTheDaemonsHandler) {
    // The daemon's handler removes its pid file: run in the script's child, it would remove
    // the file of a daemon that goes on running.
    const std::string script = script_printing("DEVICE0 a\n");
    const child_outcome outcome = run_isolated([&script] {
        int ends[2];
        if (pipe(ends) != 0)
            _exit(9);
        handler_report = ends[1];
        std::signal(SIGTERM, report_and_exit);
        pthread_atfork(nullptr, nullptr, terminate_self_after_fork);
        terminate_forked_children = 1;
        char* text = determine_hostinfo(script.c_str());
        terminate_forked_children = 0;
        close(ends[1]);
        char mark = 0;
        if (read(ends[0], &mark, 1) == 1)
            _exit(1);
        // The signal ended the child by its default action, before any output.
        _exit(text == nullptr ? 0 : 2);
    });
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exit_status, 0) << "1: the handler ran in the script's child";
}

TEST_F(Collect, BufferThatCannotGrowGivesNullWithoutHanging) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address-space limits break the sanitizer runtime";
#endif
    const std::string started = path("started");
    const std::string script =
        script_body("touch '" + started + "'\nhead -c 268435456 /dev/zero\n");
    const child_outcome outcome = run_isolated([&script, &started] {
        alarm(60);
        // Room for the script's own process, not for a 256 MiB buffer.
        std::ifstream statm("/proc/self/statm");
        long pages = 0;
        statm >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
        const rlimit cap{limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0)
            _exit(2);
        rlimit now{};
        if (getrlimit(RLIMIT_AS, &now) != 0 || now.rlim_cur != limit)
            _exit(5);
        char* text = determine_hostinfo(script.c_str());
        if (text != nullptr)
            _exit(3);
        _exit(access(started.c_str(), F_OK) == 0 ? 0 : 4);
    });
    if (outcome.signal == 0 && outcome.exit_status == 5)
        GTEST_SKIP() << "RLIMIT_AS does not take effect here: a user-mode emulator keeps the "
                        "address-space limits to itself";
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exit_status, 0);
}

}  // namespace
