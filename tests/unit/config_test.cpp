#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "agent/common.h"
#include "agent/config.h"
#include "ground/log.h"
#include "tests/support/scratch_log.h"

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        file_ = scratch_.file("tolvad.conf");
        config_path = file_.c_str();
    }
    void TearDown() override { config_path = CONFIG_PATH; }
    void write(const std::string& content) { std::ofstream(file_, std::ios::binary) << content; }
    std::string log_text() const { return scratch_.text(); }

    rig::scratch_log scratch_;
    std::string file_;
};

struct value_case {
    const char* content;
    int push;
    int refresh;
};

TEST_F(ConfigTest, ReadsValuesByPieceAndTokenRules) {
    const value_case cases[] = {
        {"PushInterval=600\nRefreshInterval=30\n", 600, 30},
        {"RefreshInterval=30\nPushInterval=600", 600, 30},  // no final newline
        {"PushInterval = 600\nRefreshInterval= 30\n", 600, 30},
        {"PushInterval==600\nRefreshInterval===30\n", 600, 30},
        // A comment still holds the key, and the first piece with the key decides.
        {"#PushInterval=5\nPushInterval=600\n", 5, 0},
        // Key alone: the next piece's first token is the key itself, so 0.
        {"PushInterval\nPushInterval=600\n", 0, 0},
        // "=" and the newline: the newline is the value.
        {"PushInterval=\nPushInterval=600\n", 0, 0},
        // Only seven digits fit in the first 23-character piece.
        {"RefreshInterval=12345678\n", 0, 1234567},
        {"PushInterval=1234567890\n", 1234567890, 0},
        // A key inside a longer word counts too.
        {"OldPushIntervalX=7\n", 7, 0},
        {"PushInterval=-20\nRefreshInterval=abc\n", -20, 0},
        {"PushInterval=1\n", 1, 0},
        {"", 0, 0},
        // Beyond int: clamped, never wrapped round to 1 (the default), 0 or a negative.
        {"PushInterval=4294967297\n", INT_MAX, 0},
        {"PushInterval=4294967296\n", INT_MAX, 0},
        {"PushInterval=2147483648\n", INT_MAX, 0},
        {"PushInterval=2147483647\n", INT_MAX, 0},
    };
    for (const auto& c : cases) {
        write(c.content);
        EXPECT_EQ(read_config_value("PushInterval"), c.push) << c.content;
        EXPECT_EQ(read_config_value("RefreshInterval"), c.refresh) << c.content;
    }
}

TEST_F(ConfigTest, LongLineSplitsIntoPiecesCountedTogether) {
    // The second piece holds the key again: its tokens keep counting but change nothing.
    write("PushInterval=12345678901PushInterval=99\n");
    EXPECT_EQ(read_config_value("PushInterval"), 1234567890);
    // The 23-character piece ends right after "=", so it yields one token; the next piece
    // with the key starts with the key itself, which converts to 0.
    write("xxxxxxxxxxPushInterval=\nPushInterval=44\n");
    EXPECT_EQ(read_config_value("PushInterval"), 0);
}

TEST_F(ConfigTest, EmptyFileGivesZeroWithoutMessages) {
    write("");
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config_value("PushInterval"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log_text(), "");
}

TEST_F(ConfigTest, MissingFileGivesOneAndReportsIt) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config_value("PushInterval"), 1);
    EXPECT_EQ(read_config_value("RefreshInterval"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              file_ + " file does not exist. \n" + file_ + " file does not exist. \n");
    const std::string log = log_text();
    const std::string line = "The " + file_ + " file does not exist.\n";
    const auto first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos) << log;
}

}  // namespace
