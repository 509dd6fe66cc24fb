// The channel against the simulated array, in process: the preloaded layer carries SG_IO
// on a node's descriptor to the simulator serving from a thread of this test.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "channel/cdb.h"
#include "channel/scsi.h"
#include "channel/transfer.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "sim/sim.h"
#include "tests/support/rig.h"
#include "tests/support/scratch_log.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using lines = std::vector<std::string>;

const std::string SEND_IN = "In send_hostinfo: Entering.";
const std::string SEND_OUT = "In send_hostinfo: Exiting.";
const std::string RECEIVE_IN = "In receive_hostinfo: Entering.";
const std::string RECEIVE_OK = "In receive_hostinfo: Exiting with success.";
const std::string RECEIVE_FAILED = "In receive_hostinfo: Exiting with failure.";
const std::string IOCTL_FAILED = "In generate_scsi_ioctl: ioctl failed.";

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};

class Channel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig::layer_preloaded()) << rig::NOT_PRELOADED;
        ASSERT_TRUE(scratch_.ok());
        root_ = scratch_.path();
        debug_level = 0;
        array_ = std::make_unique<sim::simulator>(root_ + "/sim.sock");
        sim::enclosure_config config;
        config.node = "sg1";
        config.array = "A";
        array_->add_enclosure(config);
        ASSERT_TRUE(array_->start());
        array_->write_nodes(root_);
        fd_ = open((root_ + "/sg1").c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0)
            close(fd_);
        if (array_)
            array_->stop();
        debug_level = 0;
    }

    // Messages of the log lines written since the last call; every line is time-stamped.
    lines new_messages() {
        std::ifstream in(root_ + "/tolvad.log");
        lines result;
        std::string line;
        std::size_t index = 0;
        while (std::getline(in, line)) {
            if (line.empty())
                continue;
            if (index++ < consumed_)
                continue;
            EXPECT_TRUE(rig::has_time_stamp(line)) << line;
            result.push_back(line.substr(21));
        }
        consumed_ += result.size();
        return result;
    }

    void fail_next(sim::fault_kind kind) {
        array_->inject("sg1", sim::fault{kind, sim::command_kind::any, 1});
    }

    rig::scratch_log scratch_;
    std::string root_;
    std::unique_ptr<sim::simulator> array_;
    int fd_ = -1;
    std::size_t consumed_ = 0;
};

bytes view_of(std::size_t length) {
    bytes view(length, 0);
    for (std::size_t i = 0; i + 1 < length; ++i)
        view[i] = static_cast<std::uint8_t>('a' + i % 26);
    return view;
}

TEST_F(Channel, SendReachesTheDeviceAsBuilt) {
    struct size_case {
        std::size_t length;
        std::uint8_t high, low;
    };
    for (const size_case& c :
         {size_case{1, 0x00, 0x01}, size_case{1000, 0x03, 0xE8}, size_case{65535, 0xFF, 0xFF}}) {
        SCOPED_TRACE(c.length);
        array_->clear_journal();
        const bytes view = view_of(c.length);
        EXPECT_EQ(send_hostinfo(fd_, reinterpret_cast<const char*>(view.data()),
                                static_cast<int>(c.length)),
                  0);
        const auto journal = array_->journal();
        ASSERT_EQ(journal.size(), 1u);
        const sim::journal_entry& e = journal[0];
        EXPECT_EQ(e.kind, sim::command_kind::hostinfo_send);
        EXPECT_EQ(e.interface_id, 'S');
        EXPECT_EQ(e.dxfer_direction, -2);
        EXPECT_EQ(e.cmd_len, 10u);
        EXPECT_EQ(e.mx_sb_len, 32u);
        EXPECT_EQ(e.dxfer_len, c.length);
        EXPECT_EQ(e.timeout, 30000u);
        EXPECT_EQ(e.flags, 0u);
        EXPECT_EQ(e.iovec_count, 0);
        EXPECT_EQ(e.cdb, (bytes{0x7F, 0, c.high, c.low, 0, 0, 0, 0x02, 0xF8, 0x02}));
        EXPECT_EQ(e.data_out, view);
        EXPECT_EQ(array_->stored_view("A"), view);
        EXPECT_EQ(new_messages(), (lines{SEND_IN, SEND_OUT}));
    }
}

TEST_F(Channel, ReceiveAsksForTheWholeBlockAndReportsItsSize) {
    const std::string text = "DEVICE0 short\n";
    array_->set_stored_view("A", bytes(text.begin(), text.end() + 1));
    char* raw = nullptr;
    int length = -5;
    EXPECT_EQ(receive_hostinfo(fd_, &raw, &length), 0);
    std::unique_ptr<char, free_deleter> block(raw);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 65535);
    EXPECT_STREQ(block.get(), text.c_str());
    EXPECT_EQ(new_messages(), (lines{RECEIVE_IN, RECEIVE_OK}));

    const auto journal = array_->journal();
    ASSERT_EQ(journal.size(), 1u);
    const sim::journal_entry& e = journal[0];
    EXPECT_EQ(e.kind, sim::command_kind::hostinfo_receive);
    EXPECT_EQ(e.interface_id, 'S');
    EXPECT_EQ(e.dxfer_direction, -3);
    EXPECT_EQ(e.cmd_len, 10u);
    EXPECT_EQ(e.mx_sb_len, 32u);
    EXPECT_EQ(e.dxfer_len, 65535u);
    EXPECT_EQ(e.timeout, 30000u);
    EXPECT_EQ(e.cdb, (bytes{0x7F, 0, 0xFF, 0xFF, 0, 0, 0, 0x02, 0xF8, 0x03}));
    EXPECT_EQ(e.data_in_len, text.size() + 1);
}

TEST_F(Channel, ReceiveWithoutDataGivesAnEmptyTextAndNeedsNoLengthOutput) {
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored);
        // Nothing stored, or a GOOD answer that moves no data.
        if (stored) {
            array_->set_stored_view("A", bytes{'x', 'y', 'z', 'w', 0});
            fail_next(sim::fault_kind::good_no_data);
        }
        // A freed block of the same size, likely handed out again: none of it may show.
        char* poison = static_cast<char*>(std::malloc(65535));
        ASSERT_NE(poison, nullptr);
        std::memset(poison, 'X', 65535);
        std::free(poison);
        char* raw = nullptr;
        EXPECT_EQ(receive_hostinfo(fd_, &raw, nullptr), 0);
        std::unique_ptr<char, free_deleter> block(raw);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::memcmp(block.get(), std::string(65535, '\0').data(), 65535), 0);
        EXPECT_EQ(new_messages(), (lines{RECEIVE_IN, RECEIVE_OK}));
    }
}

struct failure_case {
    const char* name;
    sim::fault_kind fault;
    int result;
    bool ioctl_line;
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

class ChannelFailures : public Channel, public ::testing::WithParamInterface<failure_case> {};

TEST_P(ChannelFailures, SendPassesTheResultOn) {
    const failure_case& c = GetParam();
    fail_next(c.fault);
    const char view[] = "DEVICE0\n";
    EXPECT_EQ(send_hostinfo(fd_, view, sizeof view), c.result);
    lines expected{SEND_IN};
    if (c.ioctl_line)
        expected.push_back(IOCTL_FAILED);
    expected.push_back(SEND_OUT);
    EXPECT_EQ(new_messages(), expected);
}

TEST_P(ChannelFailures, ReceiveHandsNothingOver) {
    const failure_case& c = GetParam();
    array_->set_stored_view("A", bytes{'v', 0});
    fail_next(c.fault);
    char* raw = reinterpret_cast<char*>(&raw);  // must be overwritten
    int length = -5;
    EXPECT_EQ(receive_hostinfo(fd_, &raw, &length), c.result);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(length, 0);
    lines expected{RECEIVE_IN};
    if (c.ioctl_line)
        expected.push_back(IOCTL_FAILED);
    expected.push_back(RECEIVE_FAILED);
    EXPECT_EQ(new_messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChannelFailures,
    ::testing::Values(failure_case{"CheckCondition", sim::fault_kind::check_condition, 0x20000,
                                   false},
                      failure_case{"Busy", sim::fault_kind::busy, 0x80000, false},
                      failure_case{"IoctlError", sim::fault_kind::ioctl_error, -1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Channel, NegativeDescriptors) {
    const char view[] = "DEVICE0\n";
    EXPECT_EQ(send_hostinfo(-1, view, sizeof view), -2);
    EXPECT_EQ(new_messages(), (lines{SEND_IN}));

    char* raw = nullptr;
    int length = -5;
    EXPECT_EQ(receive_hostinfo(-1, &raw, &length), -1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(new_messages(), (lines{RECEIVE_IN, IOCTL_FAILED, RECEIVE_FAILED}));
    EXPECT_TRUE(array_->journal().empty());
}

TEST_F(Channel, FailedIoctlLogsOneLineWhateverQuietAndDebugSay) {
    // The layer fails the call without a device status, so the status line never shows.
    for (int quiet : {0, 1}) {
        for (int debug : {0, 1}) {
            SCOPED_TRACE(std::to_string(quiet) + "/" + std::to_string(debug));
            debug_level = debug;
            fail_next(sim::fault_kind::ioctl_error);
            cdb_block cdb = build_hostinfo_cdb(16, 0);
            char data[16];
            EXPECT_EQ(generate_scsi_ioctl(fd_, 0, cdb.get(), data, sizeof data, quiet), -1);
            EXPECT_EQ(new_messages(), (lines{IOCTL_FAILED}));
        }
    }
    // A status other than GOOD alone logs nothing, also loud and in debug.
    debug_level = 1;
    fail_next(sim::fault_kind::check_condition);
    cdb_block cdb = build_hostinfo_cdb(16, 0);
    char data[16];
    EXPECT_EQ(generate_scsi_ioctl(fd_, 0, cdb.get(), data, sizeof data, 0), 0x20000);
    EXPECT_TRUE(new_messages().empty());
}

TEST_F(Channel, SendThenReceiveGivesTheSameBytesBack) {
    const std::string view = "head\nDEVICE0 /dev/sda\nDEVICE1 /dev/sdb\n";
    ASSERT_EQ(send_hostinfo(fd_, view.c_str(), static_cast<int>(view.size() + 1)), 0);
    char* raw = nullptr;
    int length = 0;
    ASSERT_EQ(receive_hostinfo(fd_, &raw, &length), 0);
    std::unique_ptr<char, free_deleter> block(raw);
    EXPECT_EQ(length, 65535);
    EXPECT_EQ(std::memcmp(block.get(), view.c_str(), view.size() + 1), 0);
}

}  // namespace
