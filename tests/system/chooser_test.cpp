// The access-device chooser in process, over a sandbox's /dev with the simulator's nodes;
// the preloaded layer carries each INQUIRY to the simulator.
#include "channel/chooser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "ground/settings.h"
#include "sim/sim.h"
#include "tests/support/rig.h"
#include "tests/support/scratch_log.h"

namespace {

using names = std::vector<std::string>;

struct device {
    std::string node;
    std::string vendor = "Trevasko";
    std::uint8_t peripheral = 0x0D;
    bool encserv = true;
    bool vanishes = false;  // its node file goes once it has answered the INQUIRY
};

// Descriptors open on files below `folder` (the simulator's own sockets live in this
// process too, and come and go).
int open_below(const std::string& folder) {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    while (const dirent* entry = readdir(fds)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(folder, 0) == 0)
            ++count;
    }
    closedir(fds);
    return count;
}

class Chooser : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig::layer_preloaded()) << rig::NOT_PRELOADED;
        ASSERT_TRUE(scratch_.ok());
        debug_level = 0;
    }

    void add(const device& d, const std::string& directory = "") {
        sim::enclosure_config config;
        config.node = d.node;
        config.array = "A";
        config.identity.set_vendor(d.vendor);
        config.identity.peripheral = d.peripheral;
        config.identity.encserv = d.encserv;
        if (directory.empty()) {
            sandbox_.add_enclosure(config);
        } else {
            sandbox_.array().add_enclosure(config);
            sandbox_.array().write_node(directory, d.node);
        }
        if (d.vanishes) {
            sandbox_.array().inject(
                d.node, sim::fault{sim::fault_kind::vanish, sim::command_kind::inquiry, 1});
        }
    }

    // Runs the chooser and checks what any run must hold: a chosen pair is two distinct
    // blocking read-write descriptors on `chosen_path`, closed here; a failure leaves -1;
    // nothing else stays open.
    void choose(const std::string& where, const std::string& chosen_path) {
        const int before = open_below("/tmp/");
        int fds[2] = {-5, -5};
        const int result = choose_access_device(where.c_str(), fds);
        if (chosen_path.empty()) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(fds[0], -1);
        } else {
            EXPECT_EQ(result, 1);
            struct stat expected {};
            ASSERT_EQ(stat(chosen_path.c_str(), &expected), 0);
            ASSERT_GE(fds[0], 0);
            ASSERT_GE(fds[1], 0);
            EXPECT_NE(fds[0], fds[1]);
            for (int fd : fds) {
                struct stat got {};
                ASSERT_EQ(fstat(fd, &got), 0);
                EXPECT_EQ(got.st_ino, expected.st_ino);
                const int flags = fcntl(fd, F_GETFL);
                EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
                EXPECT_EQ(flags & O_NONBLOCK, 0);
                close(fd);
            }
        }
        EXPECT_EQ(open_below("/tmp/"), before);
    }

    names inquired() {
        names nodes;
        for (const sim::journal_entry& e : sandbox_.array().journal()) {
            if (e.kind == sim::command_kind::inquiry)
                nodes.push_back(e.enclosure);
        }
        return nodes;
    }

    // Log messages without time stamps; the lines of failed commands left out.
    names messages() {
        std::ifstream in(scratch_.file("tolvad.log"));
        names result;
        std::string line;
        bool after_failure = false;
        while (std::getline(in, line)) {
            const std::string message = line.size() >= 21 ? line.substr(21) : line;
            const bool failure = message == "In generate_scsi_ioctl: ioctl failed.";
            // The failure line's own newline leaves an empty line after it.
            if (!failure && !(after_failure && message.empty()))
                result.push_back(message);
            after_failure = failure;
        }
        return result;
    }

    static names choosing_lines(const std::string& directory, const names& nodes) {
        names lines;
        for (const std::string& node : nodes) {
            lines.push_back("Choosing " + directory + "/" + node + " for VanTor access.");
            lines.push_back("");
        }
        return lines;
    }

    rig::scratch_log scratch_;
    rig::sandbox sandbox_;
};

struct pattern_case {
    const char* name;
    std::vector<device> devices;
    std::string where;   // below the sandbox's /dev
    std::string chosen;  // node, empty for none
    names inquired;      // nodes sent an INQUIRY, in order
    names logged;        // nodes named by a "Choosing" line, in order
};

void PrintTo(const pattern_case& c, std::ostream* os) {
    *os << c.name;
}

class Patterns : public Chooser, public ::testing::WithParamInterface<pattern_case> {};

TEST_P(Patterns, FirstAccessDeviceWins) {
    const pattern_case& c = GetParam();
    for (const device& d : c.devices)
        add(d);
    const std::string dev = sandbox_.dev_dir();
    choose(dev + c.where, c.chosen.empty() ? "" : dev + "/" + c.chosen);
    EXPECT_EQ(inquired(), c.inquired);
    EXPECT_EQ(messages(), choosing_lines(dev, c.logged));
}

INSTANTIATE_TEST_SUITE_P(
    Chooser, Patterns,
    ::testing::Values(
        pattern_case{
            "GlobIsSortedByByteValue", {{"sg2"}, {"sg10"}}, "/sg*", "sg10", {"sg10"}, {"sg10"}},
        pattern_case{"VendorIsCaseSensitive",
                     {{"sg1", "TREVASKO"}, {"sg2", "trevasko"}, {"sg3"}},
                     "/sg*",
                     "sg3",
                     {"sg1", "sg2", "sg3"},
                     {"sg3"}},
        pattern_case{
            "QualifierIsIgnored", {{"sg1", "Trevasko", 0x2D}}, "/sg*", "sg1", {"sg1"}, {"sg1"}},
        pattern_case{"DirectAccessWithEncServCounts",
                     {{"sg1", "Trevasko", 0x00, true}},
                     "/sg*",
                     "sg1",
                     {"sg1"},
                     {"sg1"}},
        pattern_case{"DirectAccessWithoutEncServDoesNot",
                     {{"sg1", "Trevasko", 0x00, false}, {"sg2", "Trevasko", 0x01, true}},
                     "/sg*",
                     "",
                     {"sg1", "sg2"},
                     {}},
        pattern_case{"EnclosureTypeNeedsNoEncServ",
                     {{"sg1", "Trevasko", 0x0D, false}},
                     "/sg*",
                     "sg1",
                     {"sg1"},
                     {"sg1"}},
        // The candidate is logged when its INQUIRY qualifies, before the second open.
        pattern_case{"SecondOpenFailsAndTheNextIsTaken",
                     {{"sg1", "Trevasko", 0x0D, true, true}, {"sg2"}},
                     "/sg*",
                     "sg2",
                     {"sg1", "sg2"},
                     {"sg1", "sg2"}},
        pattern_case{"QuestionMarkIsNoPattern", {{"sg1"}}, "/sg?", "", {}, {}},
        pattern_case{"PatternWithoutMatch", {{"sg1"}}, "/sd*", "", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Chooser, DirectoryIsScannedInItsOwnOrder) {
    add({"sgA", "Trevasko", 0x0C});
    add({"sgB"});
    add({"sgC"});
    const std::string dev = sandbox_.dev_dir();
    // The sandbox's /dev also holds real device nodes and links: none answers an INQUIRY.
    names expected_inquired;
    std::string chosen;
    DIR* entries = opendir(dev.c_str());
    ASSERT_NE(entries, nullptr);
    while (const dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.rfind("sg", 0) == 0 && chosen.empty()) {
            expected_inquired.push_back(name);
            if (name != "sgA")
                chosen = name;
        }
    }
    closedir(entries);
    ASSERT_FALSE(chosen.empty());

    choose(dev, dev + "/" + chosen);
    EXPECT_EQ(inquired(), expected_inquired);
    EXPECT_EQ(messages(), choosing_lines(dev, {chosen}));
}

TEST_F(Chooser, PathsOverTheBoundAreNeverOpened) {
    // A folder whose name is 1018 characters long: "/sgAB" makes 1023, "/sgABC" 1024.
    std::string directory = scratch_.path();
    while (directory.size() < 1018) {
        std::size_t piece = std::min<std::size_t>(200, 1018 - directory.size() - 1);
        if (1018 - directory.size() - 1 - piece == 1)
            --piece;
        directory += "/" + std::string(piece, 'd');
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0) << directory.size();
    }
    ASSERT_EQ(directory.size(), 1018u);
    add({"sgAB", "Other"}, directory);
    add({"sgABC"}, directory);

    choose(directory, "");
    EXPECT_EQ(inquired(), (names{"sgAB"}));
    EXPECT_EQ(messages(), names{});
}

}  // namespace
