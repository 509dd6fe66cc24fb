#include "channel/scsi.h"

#include <dlfcn.h>
#include <scsi/sg.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
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
#include "tests/unit/stop_capture.h"

namespace {

// What the stand-in driver saw and what it answers.
struct fake_driver {
    bool active = false;
    int calls = 0;
    int fd = 0;
    unsigned long request = 0;
    sg_io_hdr_t seen{};
    std::vector<unsigned char> sense_at_entry_zeroed;
    int result = 0;
    unsigned char status = 0;
};
fake_driver driver;

}  // namespace

// Stands in for the sg driver; everything else goes to the real ioctl.
extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (!driver.active) {
        using real_ioctl = int (*)(int, unsigned long, ...);
        static auto real = reinterpret_cast<real_ioctl>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, argument);
    }
    ++driver.calls;
    driver.fd = fd;
    driver.request = request;
    auto* header = static_cast<sg_io_hdr_t*>(argument);
    driver.seen = *header;
    header->status = driver.status;
    return driver.result;
}

namespace {

class Scsi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        directory_ = scratch_.path();
        debug_level = 0;
        driver = fake_driver{};
        driver.active = true;
    }
    void TearDown() override {
        driver.active = false;
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
    ASSERT_EQ(driver.calls, 1);
    const sg_io_hdr_t& h = driver.seen;
    EXPECT_EQ(driver.fd, 17);
    EXPECT_EQ(driver.request, 0x2285UL);
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
        EXPECT_EQ(driver.seen.cmd_len, additional + 8);
        // No data keeps the direction.
        EXPECT_EQ(driver.seen.dxfer_direction, SG_DXFER_TO_DEV);
        EXPECT_EQ(driver.seen.dxfer_len, 0u);
    }
    EXPECT_EQ(driver.calls, 3);
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
    driver.result = c.ioctl_result;
    driver.status = c.status;
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
    driver.result = -1;
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
