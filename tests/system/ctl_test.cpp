// Tolvactl as a user runs it: console text, exit statuses and the files it touches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

const std::string HELP =
    "\n"
    "Tolvactl - Command Line Utility of QELVO Caldrix for Red Hat Linux.\n"
    "\n"
    "SYNTAX: Tolvactl <options> \n"
    "\n"
    "<options> are: \n"
    "\n"
    "help \t To display the help message. \n"
    "status \t To display the caldrix status. \n"
    "start \t To start caldrix service. \n"
    "stop \t To stop caldrix service. \n"
    "refresh  To restart caldrix service. \n"
    "list \t To list tokens and values at that point in time. \n"
    "push \t To send host information tokens to Vantor at that point in time. \n"
    "\n"
    "set <interval> <value> \n"
    "      <interval> are: \n"
    "\t 1. RefreshInterval - To set caldrix RefreshInterval to the input value\n"
    "\t    in seconds. \n"
    "\t 2. PushInterval - To set caldrix PushInterval to the input value\n"
    "\t    in seconds. \n"
    "\n";
const std::string INCORRECT = "Tolvactl Error: Incorrect Interval value.\n";
const std::string DEFAULT_CONFIG = "PushInterval=86400\nRefreshInterval=60\n";
const std::string STATUS_HEAD =
    "Printing the status of QELVO Caldrix daemon: \n"
    "TolvactlSvc is not running.\n"
    "\n"
    "The current time interval values are: \n";

void install_service(rig::sandbox& sb) {
    const std::string target = sb.outside("/etc/init.d/TolvactlSvc");
    mkdir(sb.outside("/etc/init.d").c_str(), 0755);
    std::ifstream in(rig::source_dir() + "/packaging/TolvactlSvc.init", std::ios::binary);
    std::ofstream(target, std::ios::binary) << in.rdbuf();
    ASSERT_EQ(chmod(target.c_str(), 0755), 0);
}

class CtlTest : public ::testing::Test {
  protected:
    void SetUp() override { install_service(sb_); }

    rig::run_result ctl(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/sbin/Tolvactl");
        return sb_.run(args);
    }

    rig::sandbox sb_;
};

struct usage_case {
    std::vector<std::string> args;
    std::string out;
};

TEST_F(CtlTest, UsageErrorsRunNothingAndExit1) {
    sb_.set_config(DEFAULT_CONFIG);
    const usage_case cases[] = {
        {{}, "No specified parameters, use help. \n"},
        {{"help"}, HELP},
        {{"status", "now"}, HELP},
        {{"start", "set"}, HELP},
        {{"push", "PushInterval", "5"}, HELP},
        {{"Status"}, HELP},
        {{"STOP"}, HELP},
        {{"unknown"}, HELP},
        {{""}, HELP},
        {{"set"}, HELP},
        {{"set", "PushInterval"}, HELP},
        {{"set", "PushInterval", "5", "6"}, HELP},
        {{"set", "pushinterval", "5"}, HELP},
        {{"set", "Interval", "5"}, HELP},
        {{"set", "PushInterval", "0"}, INCORRECT},
        {{"set", "PushInterval", "-5"}, INCORRECT},
        {{"set", "RefreshInterval", "abc"}, INCORRECT},
        {{"set", "RefreshInterval", ""}, INCORRECT},
        {{"set", "PushInterval", "4294967296"}, INCORRECT},
        {{"set", "PushInterval", "12345678901"}, INCORRECT},
        {{"set", "RefreshInterval", "12345678"}, INCORRECT},
        {{"set", "RefreshInterval", "0000001x"}, INCORRECT},
    };
    for (const auto& c : cases) {
        std::string name = "Tolvactl";
        for (const auto& a : c.args)
            name += " '" + a + "'";
        SCOPED_TRACE(name);
        const auto r = ctl(c.args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sb_.read("/etc/qelvo/caldrix/tolvad.conf"), DEFAULT_CONFIG);
        EXPECT_FALSE(sb_.exists("/etc/qelvo/caldrix/tolvad.conf.tmp"));
        EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));
    }
}

struct set_case {
    std::string key, value, config_after;
};

TEST_F(CtlTest, SetWritesTheValueAsTyped) {
    const set_case cases[] = {
        {"PushInterval", "600", "PushInterval=600\nRefreshInterval=60\n"},
        {"RefreshInterval", "30", "PushInterval=86400\nRefreshInterval=30\n"},
        {"PushInterval", "007", "PushInterval=007\nRefreshInterval=60\n"},
        {"PushInterval", "12abc", "PushInterval=12abc\nRefreshInterval=60\n"},
        {"PushInterval", "1234567890", "PushInterval=1234567890\nRefreshInterval=60\n"},
        {"RefreshInterval", "1234567", "PushInterval=86400\nRefreshInterval=1234567\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " " + c.value);
        sb_.set_config(DEFAULT_CONFIG);
        const auto r = ctl({"set", c.key, c.value});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "Changing the " + c.key + " value in tolvad.conf file ..\n");
        EXPECT_EQ(sb_.read("/etc/qelvo/caldrix/tolvad.conf"), c.config_after);
        EXPECT_FALSE(sb_.exists("/etc/qelvo/caldrix/tolvad.conf.tmp"));
    }
}

TEST_F(CtlTest, SetNeverCreatesTheFile) {
    const auto r = ctl({"set", "PushInterval", "600"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out,
              "Changing the PushInterval value in tolvad.conf file ..\n"
              "/etc/qelvo/caldrix/tolvad.conf file does not exist. \n");
    EXPECT_FALSE(sb_.exists("/etc/qelvo/caldrix/tolvad.conf"));
    EXPECT_FALSE(sb_.exists("/etc/qelvo/caldrix/tolvad.conf.tmp"));
}

struct status_case {
    const char* name;
    const char* config;  // nullptr: no file
    std::string tail;
};

TEST_F(CtlTest, StatusShowsServiceAndIntervalPieces) {
    const status_case cases[] = {
        {"defaults", "PushInterval=86400\nRefreshInterval=60\n",
         "Value is PushInterval=86400\nValue is RefreshInterval=60\n\n"},
        {"comment and other lines", "# Interval settings\nfoo=1\nPushInterval=600\n",
         "Value is # Interval settings\nValue is PushInterval=600\n\n"},
        {"long line shown piece by piece", "RefreshInterval=60 ; RefreshInterval\n",
         "Value is RefreshInterval=60 ; ReValue is freshInterval\n\n"},
        {"word cut by a piece boundary", "12345678901234567Interval=1\n", "\n"},
        {"last line without newline", "PushInterval=600", "Value is PushInterval=600\n"},
        {"empty file", "", "\n"},
        {"missing file", nullptr, "/etc/qelvo/caldrix/tolvad.conf file does not exist. \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.config != nullptr)
            sb_.set_config(c.config);
        else
            unlink(sb_.config_file().c_str());
        const auto r = ctl({"status"});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, STATUS_HEAD + c.tail);
    }
}

TEST_F(CtlTest, ListRunsTheScript) {
    sb_.set_script("echo 'HOST=alpha'\necho 'DEVICE0=sda' \nexit 3\n");
    auto r = ctl({"list"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "Listing the Token information. \n"
              "------------------------------- \n"
              "HOST=alpha\nDEVICE0=sda\n");

    unlink(sb_.script_file().c_str());
    r = ctl({"list"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "Listing the Token information. \n------------------------------- \n");
}

TEST_F(CtlTest, PushSendsTheViewToEveryArray) {
    sb_.add_enclosure("sg1", "alpha", "SERIAL0001");
    sb_.add_enclosure("sg2", "beta", "SERIAL0002");
    const std::string view = "HOST=h1\nDEVICE0=sda\n";
    sb_.set_script_output(view);
    const auto r = ctl({"push"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.rfind("Sending the token information immediately\n", 0), 0u) << r.out;
    for (const char* array : {"alpha", "beta"}) {
        SCOPED_TRACE(array);
        const auto stored = sb_.array().stored_view(array);
        ASSERT_TRUE(stored.has_value());
        ASSERT_GE(stored->size(), view.size());
        EXPECT_EQ(std::string(stored->begin(), stored->begin() + view.size()), view);
    }
}

TEST_F(CtlTest, PushWithoutEnclosureStillExits0) {
    sb_.set_script_output("HOST=h1\n");
    const auto r = ctl({"push"});
    EXPECT_EQ(r.exit_status, 0);
    // Our line first, then the daemon's: standard output is flushed before each command.
    EXPECT_EQ(r.out,
              "Sending the token information immediately\n"
              "Could not find any QELVO enclosure device.\n");
}

TEST_F(CtlTest, StartPassesOnTheServiceExitStatus) {
    // No daemon binary: the init script's "not installed" status reaches the caller.
    ASSERT_EQ(unlink(sb_.outside("/usr/sbin/tolvad").c_str()), 0);
    auto r = ctl({"start"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.out, "Starting the QELVO Caldrix daemon ..\n");
    EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));

    // Without the service at all, `service` fails too.
    ASSERT_EQ(unlink(sb_.outside("/etc/init.d/TolvactlSvc").c_str()), 0);
    r = ctl({"start"});
    EXPECT_NE(r.exit_status, 0);
}

}  // namespace
