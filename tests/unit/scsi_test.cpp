#include "channel/scsi.h"

#include <scsi/sg.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ground/fatal.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tests/support/scratch_log.h"
#include "tests/unit/fake_driver.h"
#include "tests/unit/stop_capture.h"

namespace {

class Scsi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        directory_ = scratch_.path();
        debug_level = 0;
        fake::activate();
    }
    void TearDown() override {
        fake::sg.active = false;
        debug_level = 0;
    }

    // Messages of the log's lines, time stamps removed.
    std::vector<std::string> messages() const {
        std::ifstream in(directory_ + "/tolvad.log");
        std::vector<std::string> result;
        std::string line;
        while (std::getline(in, line)) {
            if (line.size() > 21)
                result.push_back(line.substr(21));
        }
        return result;
    }

    rig::scratch_log scratch_;
    std::string directory_;
};

TEST_F(Scsi, FillsTheRequestAsTheDriverExpects) {
    unsigned char inquiry[6] = {0x12, 0xAA, 0xBB, 0xCC, 0xFF, 0xDD};
    unsigned char data[255];
    EXPECT_EQ(generate_scsi_ioctl(17, 0, inquiry, data, 255, 1), 0);
    ASSERT_EQ(fake::sg.calls.size(), 1u);
    const sg_io_hdr_t& h = fake::sg.calls[0].header;
    EXPECT_EQ(fake::sg.calls[0].fd, 17);
    EXPECT_EQ(fake::sg.calls[0].request, 0x2285UL);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(h.cmd_len, 6);
    EXPECT_EQ(h.mx_sb_len, 32);
    EXPECT_EQ(h.iovec_count, 0);
    EXPECT_EQ(h.dxfer_len, 255u);
    EXPECT_EQ(h.dxferp, data);
    EXPECT_EQ(h.cmdp, inquiry);
    EXPECT_NE(h.sbp, nullptr);
    EXPECT_EQ(h.timeout, 30000u);
    EXPECT_EQ(h.flags, 0u);
    EXPECT_EQ(h.pack_id, 0);
    EXPECT_EQ(h.usr_ptr, nullptr);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.host_status, 0);
    EXPECT_EQ(h.driver_status, 0);
    EXPECT_EQ(h.resid, 0);
    EXPECT_EQ(h.sb_len_wr, 0);
    EXPECT_EQ(h.duration, 0u);
    EXPECT_EQ(h.info, 0u);
}

TEST_F(Scsi, VendorCommandLengthComesFromByteSeven) {
    for (unsigned char additional : {2, 6, 8}) {
        unsigned char cdb[16] = {0x7F, 0, 0, 0, 0, 0, 0, additional, 0xF8, 2};
        EXPECT_EQ(generate_scsi_ioctl(3, 1, cdb, nullptr, 0, 1), 0);
        const sg_io_hdr_t& h = fake::sg.calls.back().header;
        EXPECT_EQ(h.cmd_len, additional + 8);
        // No data keeps the direction.
        EXPECT_EQ(h.dxfer_direction, SG_DXFER_TO_DEV);
        EXPECT_EQ(h.dxfer_len, 0u);
    }
    EXPECT_EQ(fake::sg.calls.size(), 3u);
}

struct outcome_case {
    const char* name;
    int ioctl_result;
    unsigned char status;
    int quiet;
    int debug;
    int expected;
    std::vector<std::string> lines;
};

void PrintTo(const outcome_case& c, std::ostream* os) {
    *os << c.name;
}

class Outcomes : public Scsi, public ::testing::WithParamInterface<outcome_case> {};

const std::string FAILED = "In generate_scsi_ioctl: ioctl failed.";

TEST_P(Outcomes, ResultAndLogLines) {
    const outcome_case& c = GetParam();
    fake::sg.otherwise = fake::answer{c.ioctl_result, c.status, {}};
    debug_level = c.debug;
    unsigned char cdb[10] = {0x7F, 0, 0, 0, 0, 0, 0, 2, 0xF8, 3};
    char data[16];
    EXPECT_EQ(generate_scsi_ioctl(5, 0, cdb, data, sizeof data, c.quiet), c.expected);
    EXPECT_EQ(messages(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Scsi, Outcomes,
    ::testing::Values(outcome_case{"Good", 0, 0x00, 0, 1, 0, {}},
                      outcome_case{"CheckConditionLogsNothing", 0, 0x02, 0, 1, 0x20000, {}},
                      outcome_case{"BusyLogsNothing", 0, 0x08, 1, 1, 0x80000, {}},
                      outcome_case{"FailedQuietWithDebug", -1, 0x02, 1, 1, -1, {FAILED}},
                      outcome_case{"FailedLoudStatusZero", -1, 0x00, 0, 1, -1, {FAILED}},
                      outcome_case{"FailedLoudStatusNoDebug", -1, 0x02, 0, 0, -1, {FAILED}},
                      outcome_case{"FailedLoudStatusDebug",
                                   -1,
                                   0x02,
                                   0,
                                   1,
                                   -1,
                                   {FAILED, "generate_scsi_ioctl scsi status: 2"}},
                      outcome_case{"FailedLoudStatus255",
                                   -1,
                                   0xFF,
                                   0,
                                   1,
                                   -1,
                                   {FAILED, "generate_scsi_ioctl scsi status: 255"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scsi, UnrecognisedOperationCodeStopsBeforeTheDriver) {
    // A driver call would add the "ioctl failed" line.
    fake::sg.otherwise.result = -1;
    const child_outcome outcome = run_isolated([] {
        unsigned char cdb[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        char data[4];
        generate_scsi_ioctl(3, 0, cdb, data, sizeof data, 0);
    });
    EXPECT_EQ(outcome.signal, SIGABRT);
    EXPECT_EQ(outcome.out, "Failing\n");
    EXPECT_EQ(messages(), (std::vector<std::string>{"Unrecognized SCSI command 0x28"}));
}

TEST(FatalStop, PrintsTheMessageAndSignalsTheWholeGroup) {
    const child_outcome outcome = run_isolated([] {
        if (fork() == 0) {
            // Shares the captured stdout: only a survivor of the signal writes this.
            sleep(5);
            const char text[] = "sibling survived\n";
            (void)!write(STDOUT_FILENO, text, sizeof text - 1);
            _exit(0);
        }
        fatal_stop("Thread create failed");
    });
    EXPECT_EQ(outcome.signal, SIGABRT);
    EXPECT_EQ(outcome.out, "Thread create failed\n");
}

TEST(FatalStop, SleepsOnWhenTheSignalIsIgnored) {
    const child_outcome outcome = run_isolated([] {
        signal(SIGABRT, SIG_IGN);
        const pid_t stopper = fork();
        if (stopper == 0)
            fatal_stop("Failing");
        usleep(1500 * 1000);
        int status = 0;
        const bool running = waitpid(stopper, &status, WNOHANG) == 0;
        kill(stopper, SIGKILL);
        waitpid(stopper, &status, 0);
        _exit(running ? 0 : 9);
    });
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.out, "Failing\n");
}

}  // namespace
