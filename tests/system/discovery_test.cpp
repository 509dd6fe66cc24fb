// Enclosure discovery in-process against the simulator (the sg layer is preloaded), and the
// real tolvad's first scan.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "agent/devices.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tests/support/rig.h"

namespace {

using sim::command_kind;

class discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        log_dir_ = box_.log_dir();
        log_directory = log_dir_.c_str();
        dev_ = box_.dev_dir();
        device_list.clear();
    }
    void TearDown() override {
        device_list.clear();
        debug_level = 0;
    }

    void add(const std::string& node, const std::string& serial,
             const std::string& vendor = "Trevasko") {
        box_.add_enclosure(node, "array-" + node, serial, vendor);
    }
    void add(const std::string& node, const sim::inquiry_identity& identity) {
        sim::enclosure_config config;
        config.node = node;
        config.array = "array-" + node;
        config.identity = identity;
        box_.add_enclosure(config);
    }
    int scan() { return build_device_list(dev_.c_str(), device_list); }

    std::vector<std::string> listed() const {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < device_list.size(); ++i)
            names.push_back(device_list[i].name);
        return names;
    }
    std::string serial_of(const std::string& name) const {
        for (std::size_t i = 0; i < device_list.size(); ++i)
            if (device_list[i].name == name)
                return device_list[i].serial;
        return "<absent>";
    }
    // Entries of the dev folder in the order the listing returns them.
    std::vector<std::string> directory_order() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(dev_.c_str());
        while (const dirent* e = dir ? ::readdir(dir) : nullptr)
            names.push_back(e->d_name);
        if (dir)
            ::closedir(dir);
        return names;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& m : box_.log_messages())
            if (!m.empty())
                out.push_back(m);
        return out;
    }
    int commands_to(const std::string& node) {
        int n = 0;
        for (const auto& e : box_.array().journal())
            n += e.enclosure == node;
        return n;
    }
    std::string path(const std::string& node) const { return dev_ + "//" + node; }

    rig::sandbox box_;
    std::string log_dir_, dev_;
};

TEST_F(discovery, inquiry_request_has_the_fixed_header_and_command_block) {
    add("sg1", "SERIAL0001");
    ASSERT_EQ(scan(), 0);
    const auto journal = box_.array().journal();
    ASSERT_EQ(journal.size(), 1u);
    const auto& e = journal[0];
    EXPECT_EQ(e.kind, command_kind::inquiry);
    EXPECT_EQ(e.interface_id, 'S');
    EXPECT_EQ(e.dxfer_direction, -3);
    EXPECT_EQ(e.cmd_len, 6u);
    EXPECT_EQ(e.mx_sb_len, 32u);
    EXPECT_EQ(e.dxfer_len, 255u);
    EXPECT_EQ(e.timeout, 30000u);
    EXPECT_EQ(e.flags, 0u);
    EXPECT_EQ(e.iovec_count, 0);
    EXPECT_EQ(e.cdb, (std::vector<std::uint8_t>{0x12, 0x00, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(listed(), (std::vector<std::string>{"sg1"}));
    EXPECT_EQ(device_list[0].path, path("sg1"));
    EXPECT_EQ(device_list[0].serial, "0001");
    EXPECT_EQ(device_list[0].fd, -1);
    EXPECT_EQ(device_list[0].array_view, nullptr);
}

TEST_F(discovery, other_vendors_are_refused_with_a_message_always) {
    struct {
        const char* node;
        std::array<std::uint8_t, 8> vendor;
        const char* shown;
    } const cases[] = {
        {"sg1", {'T', 'R', 'E', 'V', 'A', 'S', 'K', 'O'}, "TREVASKO"},
        {"sg2", {'T', 'r', 'e', 'v', 'a', 's', 'k', 'x'}, "Trevaskx"},
        {"sg3", {'T', 'r', 'e', 'v', 'a', 's', 'k', 0}, "Trevask"},
        {"sg4", {'T', 'r', 'e', 0, 'a', 's', 'k', 'o'}, "Tre"},
    };
    for (const auto& c : cases) {
        sim::inquiry_identity id;
        id.vendor = c.vendor;
        id.set_serial("SERIAL" + std::string(c.node));
        add(c.node, id);
    }
    add("sg5", "SERIAL0005");
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(listed(), (std::vector<std::string>{"sg5"}));
    const auto got = messages();
    for (const auto& c : cases) {
        const std::string expected =
            "Vendor identification for device " + path(c.node) + " is " + c.shown;
        EXPECT_NE(std::find(got.begin(), got.end(), expected), got.end()) << expected;
    }
    EXPECT_EQ(got.size(), std::size(cases));  // nothing debug-only without the switch
}

TEST_F(discovery, enclosure_services_bit_decides_and_only_debug_shows_the_serial) {
    sim::inquiry_identity plain;
    plain.encserv = false;
    plain.set_serial("ABCDEFGH1234");
    add("sg1", plain);
    debug_level = 1;
    ASSERT_EQ(scan(), 0);
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(messages(), (std::vector<std::string>{"Serial Number of the device " + path("sg1") +
                                                    " is : ABCDEFGH1234."}));
}

TEST_F(discovery, serial_text_is_the_last_four_characters_of_the_field) {
    sim::inquiry_identity none;
    none.set_serial("");
    add("sg1", "ABCDEFGH1234");
    add("sg2", "XYZ");
    add("sg3", none);
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(serial_of("sg1"), "1234");
    EXPECT_EQ(serial_of("sg2"), "XYZ");
    EXPECT_EQ(serial_of("sg3"), "");
}

TEST_F(discovery, short_data_has_no_serial_and_never_inherits_one) {
    for (int i = 1; i <= 4; ++i)
        add("sg" + std::to_string(i), "SERIAL000" + std::to_string(i));
    sim::inquiry_identity short_data;
    short_data.additional_length = 31;
    short_data.set_serial("SHORT0000009");
    add("sg9", short_data);
    sim::inquiry_identity just_enough;
    just_enough.additional_length = 32;
    just_enough.set_serial("ENOUGH000008");
    add("sg8", just_enough);
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(device_list.size(), 6u);
    EXPECT_EQ(serial_of("sg9"), "");
    // Only byte 36 of the field was sent; the rest reads as zero.
    EXPECT_EQ(serial_of("sg8"), "E");
}

TEST_F(discovery, first_device_of_a_serial_in_directory_order_wins_silently) {
    add("sg1", "SAME00000001");
    add("sg2", "OTHER0000001");  // same last four characters
    add("sg3", "DIFFERENT002");
    sim::inquiry_identity empty_a, empty_b;
    empty_a.set_serial("");
    empty_b.set_serial("");
    add("sg4", empty_a);
    add("sg5", empty_b);
    debug_level = 1;
    ASSERT_EQ(scan(), 0);

    std::vector<std::string> expected;
    bool seen_0001 = false, seen_empty = false;
    for (const auto& name : directory_order()) {
        if (name == "sg1" || name == "sg2") {
            if (!std::exchange(seen_0001, true))
                expected.push_back(name);
        } else if (name == "sg4" || name == "sg5") {
            if (!std::exchange(seen_empty, true))
                expected.push_back(name);
        } else if (name == "sg3") {
            expected.push_back(name);
        }
    }
    EXPECT_EQ(listed(), expected);
    for (const auto& m : messages())
        EXPECT_EQ(m.rfind("Serial Number of the device ", 0), 0u) << m;

    // A second scan into the full list adds nothing.
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(listed(), expected);
}

TEST_F(discovery, only_names_beginning_with_sg_are_probed) {
    for (const char* node : {"sda", "SG0", "s", "xsg"})
        add(node, std::string("SER") + node);
    for (const char* node : {"sg", "sg0", "sgx"})
        add(node, std::string("SER") + node);
    std::ofstream(dev_ + "/sg9") << "a regular file";
    ASSERT_EQ(scan(), 0);
    for (const char* node : {"sda", "SG0", "s", "xsg"})
        EXPECT_EQ(commands_to(node), 0) << node;
    for (const char* node : {"sg", "sg0", "sgx"})
        EXPECT_EQ(commands_to(node), 1) << node;
    EXPECT_EQ(device_list.size(), 3u);
}

TEST_F(discovery, failed_probes_are_skipped_with_debug_messages) {
    add("sg1", "SERIAL0001");
    add("sg2", "SERIAL0002");
    box_.array().inject("sg1", {sim::fault_kind::ioctl_error, command_kind::inquiry});
    box_.array().inject("sg2", {sim::fault_kind::good_no_data, command_kind::inquiry});
    ASSERT_EQ(scan(), 0);
    EXPECT_TRUE(listed().empty());
    // No data leaves the buffer zero: an empty vendor text, shown always.
    EXPECT_EQ(messages(), (std::vector<std::string>{"Vendor identification for device " +
                                                    path("sg2") + " is "}));

    ::unlink(box_.log_file().c_str());
    debug_level = 1;
    ASSERT_EQ(scan(), 0);
    const auto got = messages();
    EXPECT_NE(std::find(got.begin(), got.end(), "IOCTL failed on the device " + path("sg1") + ". "),
              got.end());
}

TEST_F(discovery, opening_keeps_minus_one_for_a_removed_node_and_clear_closes_each_once) {
    add("sg1", "SERIAL0001");
    add("sg2", "SERIAL0002");
    ASSERT_EQ(scan(), 0);
    ASSERT_EQ(device_list.size(), 2u);
    // The probe could open the node; the opening for good cannot.
    ASSERT_EQ(::unlink((dev_ + "/sg2").c_str()), 0);
    open_listed_devices();

    std::vector<int> open_fds;
    for (std::size_t i = 0; i < device_list.size(); ++i) {
        if (device_list[i].name == "sg2") {
            EXPECT_EQ(device_list[i].fd, -1);
        } else {
            ASSERT_GE(device_list[i].fd, 0);
            EXPECT_NE(::fcntl(device_list[i].fd, F_GETFL) & O_NONBLOCK, 0);
            open_fds.push_back(device_list[i].fd);
        }
    }
    device_list.clear();
    for (int fd : open_fds)
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << fd;
}

TEST_F(discovery, unreadable_directory_leaves_the_list_alone) {
    add("sg1", "SERIAL0001");
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(build_device_list((dev_ + "/missing").c_str(), device_list), -1);
    EXPECT_EQ(listed(), (std::vector<std::string>{"sg1"}));
}

TEST_F(discovery, the_daemon_scans_dev_and_names_devices_by_their_double_slash_path) {
    add("sg1", "SERIAL0001");
    add("sg2", "SERIAL0002", "Someone");
    box_.set_script_output("DEVICE0 x\n");
    box_.run({"/usr/sbin/tolvad", "-p"}, {{"TOLVAD_DEBUG", "yes"}});
    const auto got = messages();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[0], "Debug Level is turned on");
    EXPECT_EQ(got[1], "Finding the QELVO scsi enclosure device.");
    EXPECT_NE(std::find(got.begin(), got.end(),
                        "Serial Number of the device //dev//sg1 is : SERIAL0001."),
              got.end());
    EXPECT_NE(
        std::find(got.begin(), got.end(), "Vendor identification for device //dev//sg2 is Someone"),
        got.end());
    const auto journal = box_.array().journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal[0].kind, command_kind::inquiry);
    EXPECT_EQ(journal[0].cdb, (std::vector<std::uint8_t>{0x12, 0x00, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(journal[0].timeout, 30000u);
}

}  // namespace
