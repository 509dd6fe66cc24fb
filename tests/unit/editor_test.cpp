#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ctl/ctl.h"
#include "tests/unit/stop_capture.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct edit_result {
    int result;
    std::string out;
};

class EditorTest : public ::testing::Test {
  protected:
    void SetUp() override { use_directory(::testing::TempDir()); }
    void TearDown() override {
        std::remove(config_.c_str());
        std::remove(tmp_.c_str());
        rmdir(dir_.c_str());
        ctl_config_path = saved_config_;
        ctl_config_tmp_path = saved_tmp_;
    }

    void use_directory(const std::string& base) {
        std::string pattern = base + "/editor.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        config_ = dir_ + "/tolvad.conf";
        tmp_ = dir_ + "/tolvad.conf.tmp";
        ctl_config_path = config_.c_str();
        ctl_config_tmp_path = tmp_.c_str();
    }

    static edit_result edit(const char* key, const char* value) {
        char key_line[KEY_LINE_SIZE];
        std::strcpy(key_line, key);
        ::testing::internal::CaptureStdout();
        const int result = set_interval(key_line, value);
        std::fflush(stdout);
        return {result, ::testing::internal::GetCapturedStdout()};
    }

    static std::string changing(const std::string& key) {
        return "Changing the " + key + " value in tolvad.conf file ..\n";
    }

    std::string dir_, config_, tmp_;
    const char* saved_config_ = ctl_config_path;
    const char* saved_tmp_ = ctl_config_tmp_path;
};

struct rewrite_case {
    const char* name;
    const char* before;
    const char* key;
    const char* value;
    const char* after;
};

const rewrite_case rewrite_cases[] = {
    {"key absent, nothing added", "RefreshInterval=60\n", "PushInterval", "600",
     "RefreshInterval=60\n"},
    {"every line with the key", "PushInterval=1\nRefreshInterval=60\nPushInterval=2\n",
     "PushInterval", "600", "PushInterval=600\nRefreshInterval=60\nPushInterval=600\n"},
    {"comment naming the key", "# RefreshInterval\nRefreshInterval=60\n", "RefreshInterval", "30",
     "RefreshInterval=30\nRefreshInterval=30\n"},
    {"other key untouched", "PushInterval=86400\nRefreshInterval=60\n", "RefreshInterval", "45",
     "PushInterval=86400\nRefreshInterval=45\n"},
    {"rest of a long line on its own line", "PushInterval=86400 # cycle length\n", "PushInterval",
     "600", "PushInterval=600\ncle length\n"},
    {"long line ending right after a piece", "PushInterval=86400 # ab\n", "PushInterval", "600",
     "PushInterval=600\n\n"},
    {"key cut by a piece boundary", "12345678901234567890PushInterval=5\n", "PushInterval", "600",
     "12345678901234567890PushInterval=5\n"},
    {"last line without newline replaced", "RefreshInterval=60\nPushInterval=86400", "PushInterval",
     "600", "RefreshInterval=60\nPushInterval=600\n"},
    {"last line without newline kept", "PushInterval=1\nRefreshInterval=60", "PushInterval", "600",
     "PushInterval=600\nRefreshInterval=60"},
    {"value as typed", "PushInterval=1\n", "PushInterval", "007x", "PushInterval=007x\n"},
    {"longest value", "RefreshInterval=60\n", "RefreshInterval", "1234567",
     "RefreshInterval=1234567\n"},
    {"23-character line edited again", "PushInterval=1234567890\n", "PushInterval", "5",
     "PushInterval=5\n\n"},
    {"empty file", "", "PushInterval", "600", ""},
};

TEST_F(EditorTest, RewritesEveryPieceNamingTheKey) {
    for (const auto& c : rewrite_cases) {
        SCOPED_TRACE(c.name);
        write_file(config_, c.before);
        const auto r = edit(c.key, c.value);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out, changing(c.key));
        EXPECT_EQ(read_file(config_), c.after);
        EXPECT_FALSE(exists(tmp_));
    }
}

TEST_F(EditorTest, MissingFileCreatesNothing) {
    const auto r = edit("PushInterval", "600");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, changing("PushInterval") + config_ + " file does not exist. \n");
    EXPECT_FALSE(exists(config_));
    EXPECT_FALSE(exists(tmp_));
}

TEST_F(EditorTest, TooLongValueTouchesNeitherBufferEndNorFile) {
    write_file(config_, "RefreshInterval=60\n");
    char buffer[KEY_LINE_SIZE + 8];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, "RefreshInterval");
    ::testing::internal::CaptureStdout();
    const int result = set_interval(buffer, "12345678");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, changing("RefreshInterval") + "Tolvactl Error: Incorrect Interval value.\n");
    for (std::size_t i = KEY_LINE_SIZE; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], '#');
    EXPECT_EQ(read_file(config_), "RefreshInterval=60\n");
    EXPECT_FALSE(exists(tmp_));
}

TEST_F(EditorTest, UncreatableTempLeavesConfigAlone) {
    write_file(config_, "PushInterval=86400\n");
    const std::string tmp_in_missing_dir = dir_ + "/missing/tolvad.conf.tmp";
    ctl_config_tmp_path = tmp_in_missing_dir.c_str();
    const auto r = edit("PushInterval", "600");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, changing("PushInterval") + "Tolvactl Error: Could not create " +
                         tmp_in_missing_dir + ".\n");
    EXPECT_EQ(read_file(config_), "PushInterval=86400\n");
}

TEST_F(EditorTest, FailedWriteIsNotRenamedOverConfig) {
    write_file(config_, "PushInterval=86400\nRefreshInterval=60\n");
    // A file size limit below the copy's length makes its writes fail.
    const child_outcome outcome = run_isolated([] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit tiny{4, 4};
        if (setrlimit(RLIMIT_FSIZE, &tiny) != 0)
            _exit(9);
        char key_line[KEY_LINE_SIZE] = "PushInterval";
        const int result = set_interval(key_line, "600");
        std::fflush(stdout);
        _exit(result);
    });
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.out,
              changing("PushInterval") + "Tolvactl Error: Could not write " + tmp_ + ".\n");
    EXPECT_EQ(read_file(config_), "PushInterval=86400\nRefreshInterval=60\n");
    EXPECT_FALSE(exists(tmp_));
}

TEST_F(EditorTest, FailedRenameRemovesTempAndKeepsConfig) {
    // A rename across file systems fails; the temp goes to a second one when there is one.
    struct stat here, shm;
    if (stat(dir_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system";
    write_file(config_, "PushInterval=86400\n");
    std::string other = "/dev/shm/editor.XXXXXX";
    ASSERT_NE(mkdtemp(other.data()), nullptr);
    const std::string tmp_elsewhere = other + "/tolvad.conf.tmp";
    ctl_config_tmp_path = tmp_elsewhere.c_str();
    const auto r = edit("PushInterval", "600");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out,
              changing("PushInterval") + "Tolvactl Error: Could not replace " + config_ + ".\n");
    EXPECT_EQ(read_file(config_), "PushInterval=86400\n");
    EXPECT_FALSE(exists(tmp_elsewhere));
    rmdir(other.c_str());
}

TEST_F(EditorTest, LeftoverTempIsReplacedNeverWrittenThrough) {
    const std::string victim = dir_ + "/victim";
    const struct {
        const char* name;
        bool link;
    } cases[] = {{"stale file", false}, {"link to another file", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(config_, "PushInterval=86400\n");
        write_file(victim, "not ours\n");
        if (c.link)
            ASSERT_EQ(symlink(victim.c_str(), tmp_.c_str()), 0);
        else
            write_file(tmp_, "stale content that is longer than the new file\n");
        EXPECT_EQ(edit("PushInterval", "600").result, 0);
        EXPECT_EQ(read_file(config_), "PushInterval=600\n");
        EXPECT_EQ(read_file(victim), "not ours\n");
        EXPECT_FALSE(exists(tmp_));
    }
    std::remove(victim.c_str());
}

TEST(ExitStatus, FollowsTheServiceCommand) {
    EXPECT_EQ(exit_status_of(-1), 255);
    EXPECT_EQ(exit_status_of(std::system("exit 0")), 0);
    EXPECT_EQ(exit_status_of(std::system("exit 3")), 3);
    EXPECT_EQ(exit_status_of(std::system("kill -TERM $$")), 128 + 15);
}

}  // namespace
