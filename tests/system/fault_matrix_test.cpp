// Every simulated fault on every command kind the daemon issues, in push-once mode and over
// daemon cycles: the real tolvad ends (or stops on SIGTERM) normally and logs what it met.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;
using sim::command_kind;
using sim::fault_kind;

const std::string VIEW = "H\nDEVICE0 disk\n";

// Log texts, matched anywhere in the log.
const char NO_DEVICE_ONCE[] = "Could not find any QELVO enclosure device.";
const char NO_DEVICE_CYCLE[] = "There is no QELVO enclosure disk found!";
const char NOT_OURS[] = "Vendor identification for device //dev//sg1 is \n";
const char REBUILD[] = "Re-building the enclosure device list.";
const char IOCTL_FAILED[] = "In generate_scsi_ioctl: ioctl failed.";
const char SENT[] = "In send_hostinfo: Exiting.";
const char SEND_FAILED[] = "Failed to send the host information to the VanTor 0001 .";
const char NO_DESCRIPTOR[] = "Invalid file descriptor for VanTor 0001.";
const char RECEIVED[] = "In receive_hostinfo: Exiting with success.";
const char RECEIVE_ENDED[] = "In receive_hostinfo: Exiting";
const char RECEIVE_FAILED[] = "Failed to get the host information from the VanTor.";
const char UPDATING[] = "Updating VanTor 0001 with latest host information.";
const char UNABLE[] = "Unable to send the host view to the VanTor.";
const char ANY_RECEIVE[] = "In receive_hostinfo";
const char ANY_SEND[] = "In send_hostinfo";

struct matrix_row {
    const char* name;
    fault_kind fault;
    command_kind on;
    bool daemon;  ///< over daemon cycles (-f), else push-once (-p)
    int exit_status;
    std::vector<std::string> logged;  ///< each must appear; in daemon mode, awaited
    std::vector<std::string> absent;
    bool stored;  ///< the array holds the view in the end
};

void PrintTo(const matrix_row& row, std::ostream* os) {
    *os << row.name;
}

// A vanishing node answers its command; every later command on it fails, as on a descriptor
// whose device the driver has removed.
const matrix_row rows[] = {
    // push-once: discovery's INQUIRY
    {"once_inquiry_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::inquiry,
     false,
     1,
     {NO_DEVICE_ONCE},
     {ANY_SEND},
     false},
    {"once_inquiry_check_condition",
     fault_kind::check_condition,
     command_kind::inquiry,
     false,
     1,
     {NOT_OURS, NO_DEVICE_ONCE},
     {ANY_SEND},
     false},
    {"once_inquiry_busy",
     fault_kind::busy,
     command_kind::inquiry,
     false,
     1,
     {NOT_OURS, NO_DEVICE_ONCE},
     {ANY_SEND},
     false},
    {"once_inquiry_good_no_data",
     fault_kind::good_no_data,
     command_kind::inquiry,
     false,
     1,
     {NOT_OURS, NO_DEVICE_ONCE},
     {ANY_SEND},
     false},
    {"once_inquiry_delay",
     fault_kind::delay,
     command_kind::inquiry,
     false,
     0,
     {SENT},
     {SEND_FAILED},
     true},
    {"once_inquiry_vanish",
     fault_kind::vanish,
     command_kind::inquiry,
     false,
     0,
     {NO_DESCRIPTOR},
     {SEND_FAILED},
     false},
    // push-once: the host-view send
    {"once_send_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::hostinfo_send,
     false,
     0,
     {IOCTL_FAILED, SEND_FAILED},
     {},
     false},
    {"once_send_check_condition",
     fault_kind::check_condition,
     command_kind::hostinfo_send,
     false,
     0,
     {SEND_FAILED},
     {IOCTL_FAILED},
     false},
    {"once_send_busy",
     fault_kind::busy,
     command_kind::hostinfo_send,
     false,
     0,
     {SEND_FAILED},
     {IOCTL_FAILED},
     false},
    {"once_send_good_no_data",
     fault_kind::good_no_data,
     command_kind::hostinfo_send,
     false,
     0,
     {SENT},
     {SEND_FAILED},
     false},
    {"once_send_delay",
     fault_kind::delay,
     command_kind::hostinfo_send,
     false,
     0,
     {SENT},
     {SEND_FAILED},
     true},
    {"once_send_vanish",
     fault_kind::vanish,
     command_kind::hostinfo_send,
     false,
     0,
     {SENT},
     {SEND_FAILED},
     true},
    // push-once never receives: a receive fault changes nothing
    {"once_receive_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},
    {"once_receive_check_condition",
     fault_kind::check_condition,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},
    {"once_receive_busy",
     fault_kind::busy,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},
    {"once_receive_good_no_data",
     fault_kind::good_no_data,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},
    {"once_receive_delay",
     fault_kind::delay,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},
    {"once_receive_vanish",
     fault_kind::vanish,
     command_kind::hostinfo_receive,
     false,
     0,
     {SENT},
     {SEND_FAILED, ANY_RECEIVE},
     true},

    // daemon cycles: discovery's INQUIRY (and every rescan's)
    {"daemon_inquiry_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::inquiry,
     true,
     0,
     {NO_DEVICE_CYCLE, REBUILD},
     {ANY_SEND},
     false},
    {"daemon_inquiry_check_condition",
     fault_kind::check_condition,
     command_kind::inquiry,
     true,
     0,
     {NOT_OURS, NO_DEVICE_CYCLE, REBUILD},
     {ANY_SEND},
     false},
    {"daemon_inquiry_busy",
     fault_kind::busy,
     command_kind::inquiry,
     true,
     0,
     {NOT_OURS, NO_DEVICE_CYCLE, REBUILD},
     {ANY_SEND},
     false},
    {"daemon_inquiry_good_no_data",
     fault_kind::good_no_data,
     command_kind::inquiry,
     true,
     0,
     {NOT_OURS, NO_DEVICE_CYCLE, REBUILD},
     {ANY_SEND},
     false},
    {"daemon_inquiry_delay",
     fault_kind::delay,
     command_kind::inquiry,
     true,
     0,
     {RECEIVED},
     {SEND_FAILED, REBUILD, UPDATING},
     true},
    // Listed, but its node is gone when it is opened: sends count as done, the receive fails.
    {"daemon_inquiry_vanish",
     fault_kind::vanish,
     command_kind::inquiry,
     true,
     0,
     {RECEIVE_FAILED, UPDATING, REBUILD},
     {SEND_FAILED, UNABLE},
     false},
    // daemon cycles: the host-view send
    {"daemon_send_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::hostinfo_send,
     true,
     0,
     {IOCTL_FAILED, SEND_FAILED, REBUILD},
     {ANY_RECEIVE},
     false},
    {"daemon_send_check_condition",
     fault_kind::check_condition,
     command_kind::hostinfo_send,
     true,
     0,
     {SEND_FAILED, UPDATING, UNABLE},
     {IOCTL_FAILED, REBUILD},
     false},
    {"daemon_send_busy",
     fault_kind::busy,
     command_kind::hostinfo_send,
     true,
     0,
     {SEND_FAILED, UPDATING, UNABLE},
     {IOCTL_FAILED, REBUILD},
     false},
    {"daemon_send_good_no_data",
     fault_kind::good_no_data,
     command_kind::hostinfo_send,
     true,
     0,
     {RECEIVED, UPDATING},
     {SEND_FAILED, UNABLE, REBUILD},
     false},
    {"daemon_send_delay",
     fault_kind::delay,
     command_kind::hostinfo_send,
     true,
     0,
     {RECEIVED},
     {SEND_FAILED, REBUILD, UPDATING},
     true},
    {"daemon_send_vanish",
     fault_kind::vanish,
     command_kind::hostinfo_send,
     true,
     0,
     {IOCTL_FAILED, RECEIVE_FAILED, UPDATING, UNABLE, REBUILD, NO_DEVICE_CYCLE},
     {RECEIVED},
     true},
    // daemon cycles: the read-back's receive
    {"daemon_receive_ioctl_error",
     fault_kind::ioctl_error,
     command_kind::hostinfo_receive,
     true,
     0,
     {IOCTL_FAILED, RECEIVE_FAILED, UPDATING, REBUILD},
     {SEND_FAILED, UNABLE},
     true},
    {"daemon_receive_check_condition",
     fault_kind::check_condition,
     command_kind::hostinfo_receive,
     true,
     0,
     {RECEIVE_FAILED, UPDATING, REBUILD},
     {IOCTL_FAILED, SEND_FAILED},
     true},
    {"daemon_receive_busy",
     fault_kind::busy,
     command_kind::hostinfo_receive,
     true,
     0,
     {RECEIVE_FAILED, UPDATING, REBUILD},
     {IOCTL_FAILED, SEND_FAILED},
     true},
    {"daemon_receive_good_no_data",
     fault_kind::good_no_data,
     command_kind::hostinfo_receive,
     true,
     0,
     {RECEIVED, UPDATING},
     {RECEIVE_FAILED, REBUILD},
     true},
    {"daemon_receive_delay",
     fault_kind::delay,
     command_kind::hostinfo_receive,
     true,
     0,
     {RECEIVED},
     {REBUILD, UPDATING},
     true},
    {"daemon_receive_vanish",
     fault_kind::vanish,
     command_kind::hostinfo_receive,
     true,
     0,
     {RECEIVED, IOCTL_FAILED, SEND_FAILED, REBUILD, NO_DEVICE_CYCLE},
     {RECEIVE_FAILED},
     true},
};

class FaultMatrix : public ::testing::TestWithParam<matrix_row> {};

TEST_P(FaultMatrix, EndsNormallyAndLogsWhatItMet) {
    const matrix_row& row = GetParam();
    rig::sandbox box;
    box.add_enclosure("sg1", "A", "SERIAL0001");
    box.set_script_output(VIEW);
    box.set_config("PushInterval=3\nRefreshInterval=2\n");
    // A vanished node does not come back, so that fault happens once.
    box.array().inject("sg1", {row.fault, row.on, row.fault == fault_kind::vanish ? 1 : -1,
                               std::chrono::milliseconds(100)});

    if (row.daemon) {
        const pid_t pid = box.spawn({"/usr/sbin/tolvad", "-f"});
        ASSERT_GT(pid, 0);
        const bool all_logged = rig::sandbox::eventually(
            [&] {
                const std::string log = box.log();
                for (const std::string& text : row.logged) {
                    if (log.find(text) == std::string::npos)
                        return false;
                }
                return true;
            },
            30s);
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        const rig::run_result r = box.wait(pid, 10s);
        EXPECT_TRUE(all_logged);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_status, 0);
    } else {
        const rig::run_result r = box.run({"/usr/sbin/tolvad", "-p"}, {}, 30s);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_status, row.exit_status);
    }

    const std::string log = box.log();
    for (const std::string& text : row.logged)
        EXPECT_NE(log.find(text), std::string::npos) << "missing: " << text << "\n" << log;
    for (const std::string& text : row.absent)
        EXPECT_EQ(log.find(text), std::string::npos) << "unexpected: " << text << "\n" << log;
    std::vector<std::uint8_t> view(VIEW.begin(), VIEW.end());
    view.push_back(0);
    EXPECT_EQ(box.array().stored_view("A") == view, row.stored);
}

INSTANTIATE_TEST_SUITE_P(EveryFaultAndCommand, FaultMatrix, ::testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
