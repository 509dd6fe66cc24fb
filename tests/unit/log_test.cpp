#include "ground/log.h"
#include <cstring>
#include "tests/support/scratch_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr off_t THRESHOLD = 0x4FFFFF;
const char* const STAMP = "[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";

std::optional<std::string> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void spill(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 07777 + 1;
    return st.st_mode & 07777;
}

class log_writer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        dir_ = scratch_.path();
    }

    std::string live() const { return dir_ + "/tolvad.log"; }
    std::string copy(int n) const { return live() + "." + std::to_string(n); }

    // Messages of the live log, the time stamps checked and removed.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        std::istringstream text(slurp(live()).value_or(""));
        const std::regex line(std::string("^") + STAMP + " (.*)$");
        for (std::string row; std::getline(text, row);) {
            std::smatch match;
            if (std::regex_match(row, match, line)) {
                out.push_back(match[1]);
            } else {
                out.push_back(row);  // an empty line after a message ending in "\n"
            }
        }
        return out;
    }

    rig::scratch_log scratch_;
    std::string dir_;
};

TEST_F(log_writer, line_has_time_stamp_blank_message_and_newline) {
    agent_log("hello there");
    const std::string text = slurp(live()).value();
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string(STAMP) + " hello there\n"))) << text;

    char stamp[32];
    time_text(0, stamp);
    EXPECT_EQ(std::strlen(stamp), 24u);
    EXPECT_EQ(std::strchr(stamp, '\n'), nullptr);
}

TEST_F(log_writer, message_ending_in_newline_gives_an_empty_line_after) {
    agent_log("first\n");
    agent_log("second");
    EXPECT_EQ(messages(), (std::vector<std::string>{"first", "", "second"}));
}

struct expansion_case {
    const char* format;
    log_arg a, b, c;
    const char* expected;
};

TEST_F(log_writer, verbatim_when_all_arguments_are_zero_expanded_otherwise) {
    const expansion_case cases[] = {
        {"%d %s and 100%", {}, {}, {}, "%d %s and 100%"},
        {"value %d", 0, 0, 0, "value %d"},
        {"%d-%d", 0, 5, {}, "0-5"},
        {"%d %d %d", 1, 0, 0, "1 0 0"},
        {"%02x/%04x/%08x", 10, 255, 0xdeadbeefu, "0a/00ff/deadbeef"},
        {"%s is %d", "sg3", 0, {}, "sg3 is 0"},
        {"%d %x %u", -1, -1, 7u, "-1 ffffffff 7"},
        {"%%d %d", 7, {}, {}, "%d 7"},
        {"%d %d %d %d", 1, 2, 3, "1 2 3 0"},
        {"unused %d", 4, 5, 6, "unused 4"},
        {"%d%n", 5, {}, {}, "5%n"},
        {"%s", 42, {}, {}, "42"},
    };
    for (const auto& c : cases)
        agent_log(c.format, c.a, c.b, c.c);
    const auto got = messages();
    ASSERT_EQ(got.size(), std::size(cases));
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], cases[i].expected) << i;
}

TEST_F(log_writer, long_messages_are_written_whole) {
    const std::string path = "//dev//" + std::string(600, 'p');
    agent_log("Cannot open the device %s. \n", path.c_str());
    const std::string plain(5000, 'v');
    agent_log(plain.c_str());
    EXPECT_EQ(messages(),
              (std::vector<std::string>{"Cannot open the device " + path + ". ", "", plain}));
}

TEST_F(log_writer, live_log_gets_mode_0777_after_every_write) {
    agent_log("created");
    EXPECT_EQ(mode_of(live()), 0777u);
    ASSERT_EQ(::chmod(live().c_str(), 0600), 0);
    agent_log("again");
    EXPECT_EQ(mode_of(live()), 0777u);
}

TEST_F(log_writer, missing_directory_loses_the_line_quietly) {
    const std::string missing = dir_ + "/absent";
    log_directory = missing.c_str();
    agent_log("lost");
    agent_log("lost %d", 1);
    struct stat st {};
    EXPECT_NE(::stat(missing.c_str(), &st), 0);
}

TEST_F(log_writer, rotation_starts_at_5_mib) {
    const std::string below(static_cast<std::size_t>(THRESHOLD), 'a');
    spill(live(), below);
    agent_log("appended");
    EXPECT_FALSE(slurp(copy(0)));
    EXPECT_TRUE(slurp(live())->substr(0, below.size()) == below);

    const std::string at(static_cast<std::size_t>(THRESHOLD) + 1, 'b');
    spill(live(), at);
    agent_log("rotated");
    EXPECT_TRUE(slurp(copy(0)) == at);
    EXPECT_EQ(messages(), (std::vector<std::string>{"rotated"}));
    EXPECT_EQ(mode_of(live()), 0777u);
}

// Copies before and after one rotation; nullopt is a missing copy.
struct rotation_case {
    const char* name;
    std::optional<std::string> before[4];
    std::optional<std::string> after[4];  // "LIVE" stands for the old live log's text
};

TEST_F(log_writer, rotation_moves_each_nonempty_copy_one_step_older) {
    using S = std::optional<std::string>;
    const S none;
    const rotation_case cases[] = {
        {"no copies", {none, none, none, none}, {"LIVE", none, none, none}},
        {"all present", {"c0", "c1", "c2", "c3"}, {"LIVE", "c0", "c1", "c2"}},
        {"copy 1 missing", {"c0", none, "c2", none}, {"LIVE", "c0", "c2", "c2"}},
        {"copy 1 empty", {none, "", "c2", "c3"}, {"LIVE", "", "c2", "c2"}},
        {"copy 0 empty", {"", "c1", none, none}, {"LIVE", "c1", "c1", none}},
        {"copy 2 empty", {none, none, "", "c3"}, {"LIVE", none, "", "c3"}},
        {"only copy 3", {none, none, none, "c3"}, {"LIVE", none, none, "c3"}},
        {"only copy 1", {none, "c1", none, none}, {"LIVE", "c1", "c1", none}},
    };
    const std::string old_live = "L" + std::string(static_cast<std::size_t>(THRESHOLD), 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 4; ++i) {
            ::unlink(copy(i).c_str());
            if (c.before[i])
                spill(copy(i), *c.before[i]);
        }
        spill(live(), old_live);
        agent_log("fresh");
        for (int i = 0; i < 4; ++i) {
            const S expected = c.after[i] == S("LIVE") ? S(old_live) : c.after[i];
            const S got = slurp(copy(i));
            EXPECT_TRUE(got == expected)
                << "copy " << i << ": " << (got ? got->substr(0, 8) : "missing");
        }
        EXPECT_EQ(messages(), (std::vector<std::string>{"fresh"}));
    }
}

TEST_F(log_writer, failed_copy_keeps_the_only_copy_of_its_lines) {
    const std::string old_live = std::string(static_cast<std::size_t>(THRESHOLD), 'x') + "\n";

    // Copy 1 cannot be replaced: copy 0 and the live log keep their lines.
    spill(copy(0), "c0");
    ASSERT_EQ(::mkdir(copy(1).c_str(), 0755), 0);
    spill(live(), old_live);
    agent_log("kept");
    EXPECT_EQ(slurp(copy(0)), "c0");
    EXPECT_TRUE(slurp(live())->substr(0, old_live.size()) == old_live);
    EXPECT_EQ(messages().back(), "kept");

    // Copy 0 cannot be created: the live log is appended to, not truncated.
    ASSERT_EQ(std::system(("rm -rf '" + copy(0) + "' '" + copy(1) + "'").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent-tolva/x", copy(0).c_str()), 0);
    spill(live(), old_live);
    agent_log("appended");
    EXPECT_TRUE(slurp(live())->substr(0, old_live.size()) == old_live);
    EXPECT_EQ(messages().back(), "appended");
}

// Sets the log writer's clock, and UTC as the local time, while it lives.
class fixed_clock {
  public:
    explicit fixed_clock(time_t now) : saved_clock_(log_clock) {
        now_ = now;
        if (const char* tz = std::getenv("TZ"))
            saved_tz_ = tz;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        log_clock = [] { return now_; };
    }
    ~fixed_clock() {
        log_clock = saved_clock_;
        if (saved_tz_)
            ::setenv("TZ", saved_tz_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    fixed_clock(const fixed_clock&) = delete;
    fixed_clock& operator=(const fixed_clock&) = delete;

  private:
    static inline time_t now_ = 0;
    time_t (*saved_clock_)();
    std::optional<std::string> saved_tz_;
};

// A 32-bit time_t cannot hold these times: the stamp would be wrong, and the stat of a log
// stamped that late fails with EOVERFLOW, so rotation would stop for good.
TEST_F(log_writer, stamp_and_rotation_hold_for_times_after_2038) {
    const struct {
        std::int64_t seconds;
        const char* stamp;
    } cases[] = {
        {std::int64_t{1} << 31, "Jan 19 03:14:08 2038"},
        {std::int64_t{1} << 32, "Feb  7 06:28:16 2106"},
    };
    const std::string old_live(static_cast<std::size_t>(THRESHOLD) + 1, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp);
        const auto when = static_cast<time_t>(c.seconds);
        ASSERT_EQ(static_cast<std::int64_t>(when), c.seconds) << "time_t is too narrow";
        const fixed_clock clock(when);
        spill(live(), old_live);
        spill(copy(0), "c0");
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        for (const std::string& path : {live(), copy(0)}) {
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
            if (st.st_mtime != when)
                GTEST_SKIP() << "this file system cannot hold the time " << c.stamp;
        }
        agent_log("after 2038");
        EXPECT_EQ(slurp(live()), std::string(c.stamp) + " after 2038\n");
        EXPECT_TRUE(slurp(copy(0)) == old_live);
        EXPECT_EQ(slurp(copy(1)), "c0");
    }
}

TEST_F(log_writer, lines_from_two_threads_never_interleave) {
    constexpr int LINES = 400;
    auto writer = [](const char* who) {
        for (int i = 0; i < LINES; ++i)
            agent_log("%s line %d of the run", who, i);
    };
    std::thread one(writer, "first");
    std::thread two(writer, "second");
    one.join();
    two.join();
    const auto got = messages();
    ASSERT_EQ(got.size(), 2u * LINES);
    const std::regex whole("(first|second) line [0-9]+ of the run");
    for (const auto& m : got)
        EXPECT_TRUE(std::regex_match(m, whole)) << m;
}

class copy_file_test : public log_writer {};

TEST_F(copy_file_test, missing_or_empty_source_fails_and_leaves_destination_alone) {
    const std::string dest = dir_ + "/dest";
    EXPECT_EQ(copy_file((dir_ + "/nothing").c_str(), dest.c_str(), 0), 1);
    EXPECT_FALSE(slurp(dest));

    spill(dir_ + "/empty", "");
    spill(dest, "keep me");
    EXPECT_EQ(copy_file((dir_ + "/empty").c_str(), dest.c_str(), 0), 1);
    EXPECT_EQ(slurp(dest), "keep me");
}

TEST_F(copy_file_test, replaces_contents_and_keeps_an_existing_mode) {
    const std::string src = dir_ + "/src", dest = dir_ + "/dest";
    spill(src, "short");
    spill(dest, "a much longer old text");
    ASSERT_EQ(::chmod(dest.c_str(), 0640), 0);
    EXPECT_EQ(copy_file(src.c_str(), dest.c_str(), 0), 0);
    EXPECT_EQ(slurp(dest), "short");
    EXPECT_EQ(mode_of(dest), 0640u);
}

TEST_F(copy_file_test, created_destination_takes_the_given_mode_less_umask) {
    const std::string src = dir_ + "/src";
    spill(src, std::string(70000, 'q'));
    const mode_t old_mask = ::umask(022);
    EXPECT_EQ(copy_file(src.c_str(), (dir_ + "/a").c_str(), 0), 0);
    EXPECT_EQ(copy_file(src.c_str(), (dir_ + "/b").c_str(), 0600), 0);
    ::umask(old_mask);
    EXPECT_EQ(mode_of(dir_ + "/a"), 0744u);
    EXPECT_EQ(mode_of(dir_ + "/b"), 0600u);
    EXPECT_EQ(slurp(dir_ + "/a"), slurp(src));
}

// A destination on a full file system gives 1, not a crash, and no file of NULs that the
// next rotation would shift over the real copies.
TEST_F(copy_file_test, full_file_system_fails_and_leaves_no_destination) {
    const std::string src = dir_ + "/src", small = dir_ + "/small";
    spill(src, std::string(1 << 20, 'z'));
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tolva", small.c_str(), "tmpfs", 0, "size=64k") != 0)
            ::_exit(77);
        const std::string dest = small + "/dest";
        if (copy_file(src.c_str(), dest.c_str(), 0) != 1)
            ::_exit(1);
        ::_exit(::access(dest.c_str(), F_OK) != 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot mount a small file system here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
