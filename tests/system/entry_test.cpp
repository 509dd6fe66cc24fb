// The real tolvad's command line, usage text, debug switch and exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

const std::string USAGE =
    "Usage:\n\ttolvad [-f|-p|-h] [directory_or_pattern]\n\n"
    " -f Run in the foreground rather than daemonizing.\n"
    " -p Send the host information immediately.\n"
    " -h Display this help.\n\n"
    "If a directory is specified, that directory will be searched for VanTor\n"
    "device files.  A glob pattern may also be specified.\n"
    "If nothing is specified, /dev/sg* will be used.\n";

const std::string TOLVAD = "/usr/sbin/tolvad";

class entry : public ::testing::Test {
  protected:
    void SetUp() override { box_.add_enclosure("sg1", "A", "SERIAL0001"); }

    rig::run_result run(std::vector<std::string> args,
                        const std::map<std::string, std::string>& env = {}) {
        args.insert(args.begin(), TOLVAD);
        return box_.run(args, env, std::chrono::seconds(30));
    }
    // Messages of the log without the empty entries of "\n"-terminated lines.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& m : box_.log_messages())
            if (!m.empty())
                out.push_back(m);
        return out;
    }
    bool scanned() { return !box_.array().journal().empty(); }

    rig::sandbox box_;
};

struct early_exit_case {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::vector<std::string> log;
};

TEST_F(entry, options_that_end_the_program_before_the_scan) {
    const early_exit_case cases[] = {
        {{"-h"}, USAGE, 0, {}},
        {{"-p", "-h"}, USAGE, 0, {}},
        {{"-h", "-p"}, USAGE, 0, {}},
        {{"-fh"}, USAGE, 0, {}},
        {{"-g", "text%s%d"}, "", 0, {"text%s%d"}},
        {{"-g", "text", "more"}, USAGE, 0, {"text"}},
        {{"-f", "-g"}, "", 0, {"-g"}},
        {{"-g"}, USAGE, 0, {}},
        {{"a", "b"}, USAGE, 1, {}},
        {{"-p", "a", "b"}, USAGE, 1, {}},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        ::unlink(box_.log_file().c_str());
        box_.array().clear_journal();
        const auto r = run(c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(messages(), c.log);
        EXPECT_FALSE(scanned());
    }
}

TEST_F(entry, unknown_option_gives_diagnostic_then_usage_and_status_0) {
    for (const char* option : {"-x", "-q", "-xp"}) {
        SCOPED_TRACE(option);
        box_.array().clear_journal();
        const auto r = run({option});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, USAGE);
        EXPECT_NE(r.err.find("invalid option -- '" + std::string(1, option[1]) + "'"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(scanned());
    }
}

TEST_F(entry, only_exactly_yes_turns_debug_on_and_it_is_logged_before_the_options) {
    const std::pair<std::string, bool> cases[] = {
        {"yes", true}, {"YES", false}, {"yes ", false}, {"", false}, {"no", false}};
    for (const auto& [value, on] : cases) {
        SCOPED_TRACE("TOLVAD_DEBUG='" + value + "'");
        ::unlink(box_.log_file().c_str());
        const auto r = run({"-h"}, {{"TOLVAD_DEBUG", value}});
        EXPECT_EQ(r.out, USAGE);
        EXPECT_EQ(messages(), on ? std::vector<std::string>{"Debug Level is turned on"}
                                 : std::vector<std::string>{});
    }
}

TEST_F(entry, one_word_is_accepted_and_the_scan_still_reads_dev) {
    box_.set_script_output("DEVICE0 x\n");
    const auto r = run({"-p", "/somewhere"});
    EXPECT_NE(r.exit_status, 1);
    EXPECT_NE(r.out, USAGE);
    bool inquired = false;
    for (const auto& e : box_.array().journal())
        inquired = inquired || (e.enclosure == "sg1" && e.kind == sim::command_kind::inquiry);
    EXPECT_TRUE(inquired);
    const auto got = messages();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "Finding the QELVO scsi enclosure device.");
}

TEST_F(entry, every_log_line_has_the_time_stamp_and_a_newline) {
    run({"-g", "stamped"}, {{"TOLVAD_DEBUG", "yes"}});
    const std::string text = box_.log();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        EXPECT_TRUE(rig::has_time_stamp(text.substr(at, 21))) << text.substr(at, 40);
    EXPECT_EQ(messages(), (std::vector<std::string>{"Debug Level is turned on", "stamped"}));
}

TEST_F(entry, missing_log_directory_changes_nothing_else) {
    box_.remove_log_dir();
    const auto r = run({"-g", "lost"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(box_.exists("/var/log/qelvo/caldrix/tolvad.log"));
}

TEST(entry_scan, a_dev_folder_that_cannot_be_opened_ends_with_255_in_either_mode) {
    // Root opens any folder; without the two file-access capabilities a folder of mode 000
    // cannot be opened.
    rig::sandbox box;
    ASSERT_EQ(::chmod(box.dev_dir().c_str(), 0), 0);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-p"}, std::vector<std::string>{"-f"}}) {
        ::unlink(box.log_file().c_str());
        std::vector<std::string> args = {"/usr/bin/setpriv",
                                         "--bounding-set=-dac_override,-dac_read_search", TOLVAD};
        args.insert(args.end(), options.begin(), options.end());
        const auto r = box.run(args, {}, std::chrono::seconds(30));
        EXPECT_EQ(r.exit_status, 255) << options[0] << r.err;
        EXPECT_EQ(box.log_messages(),
                  (std::vector<std::string>{"Finding the QELVO scsi enclosure device.", "",
                                            "Can not build QELVO enclosure device list.", ""}))
            << options[0];
    }
    ::chmod(box.dev_dir().c_str(), 0755);
}

}  // namespace
