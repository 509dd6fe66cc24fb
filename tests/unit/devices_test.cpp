#include "agent/devices.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/common.h"
#include "ground/log.h"
#include "ground/settings.h"
#include "tests/support/scratch_log.h"
namespace {

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Both ends of a fresh pipe; the read end goes into a record, the write end is closed.
int fresh_fd() {
    int ends[2];
    if (::pipe(ends) != 0)
        return -1;
    ::close(ends[1]);
    return ends[0];
}

enclosure_device make_record(const char* serial) {
    enclosure_device record;
    record.name = "sg1";
    record.path = "//dev//sg1";
    record.serial = serial;
    record.fd = fresh_fd();
    record.array_view = static_cast<char*>(std::malloc(16));
    return record;
}

TEST(enclosure_record, move_hands_over_descriptor_and_view) {
    enclosure_device source = make_record("A1B2");
    const int fd = source.fd;
    char* view = source.array_view;
    {
        enclosure_device target(std::move(source));
        EXPECT_EQ(target.fd, fd);
        EXPECT_EQ(target.array_view, view);
        EXPECT_EQ(target.serial, "A1B2");
        EXPECT_EQ(source.fd, -1);
        EXPECT_EQ(source.array_view, nullptr);
    }
    EXPECT_FALSE(is_open(fd));

    // The number is reused now; destroying the moved-from source must not close it.
    const int reused = fresh_fd();
    { enclosure_device gone(std::move(source)); }
    EXPECT_TRUE(is_open(reused));
    ::close(reused);
}

TEST(enclosure_record, move_assignment_releases_what_the_target_held) {
    enclosure_device target = make_record("OLD1");
    const int old_fd = target.fd;
    enclosure_device source = make_record("NEW1");
    const int new_fd = source.fd;

    target = std::move(source);
    EXPECT_FALSE(is_open(old_fd));
    EXPECT_TRUE(is_open(new_fd));
    EXPECT_EQ(target.fd, new_fd);
    EXPECT_EQ(target.serial, "NEW1");
    EXPECT_EQ(source.fd, -1);
    EXPECT_EQ(source.array_view, nullptr);

    auto& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.fd, new_fd);
    EXPECT_TRUE(is_open(new_fd));
}

TEST(enclosure_record, growth_closes_nothing_and_clearing_closes_each_once) {
    std::vector<int> fds;
    {
        std::vector<enclosure_device> records;
        for (int i = 0; i < 20; ++i) {
            records.push_back(make_record("S"));
            fds.push_back(records.back().fd);
        }
        records.emplace_back();  // a record holding -1 and no view
        for (int fd : fds)
            EXPECT_TRUE(is_open(fd)) << fd;
        records.clear();
        for (int fd : fds)
            EXPECT_FALSE(is_open(fd)) << fd;
        // Anything opened now reuses those numbers and must survive the vector's end.
        fds.clear();
        for (int i = 0; i < 20; ++i)
            fds.push_back(fresh_fd());
    }
    for (int fd : fds) {
        EXPECT_TRUE(is_open(fd)) << fd;
        ::close(fd);
    }
}

TEST(enclosure_record, release_view_frees_once_and_forgets) {
    enclosure_device record;
    record.array_view = static_cast<char*>(std::malloc(8));
    record.release_view();
    EXPECT_EQ(record.array_view, nullptr);
    record.release_view();
}

struct reversed_case {
    const char* array;
    std::size_t count;
    const char* string;
    bool expected;
};

TEST(matches_reversed, compares_array_forwards_with_string_backwards) {
    const reversed_case cases[] = {
        {"abc", 3, "cba", true},
        {"abd", 3, "cba", true},   // string[0] below the last array character
        {"abb", 3, "cba", false},  // string[0] above it
        {"xbc", 3, "cba", false},  // first pair differs
        {"z", 1, "abc", false},    // positions 2 and 1 must equal array[0]
        {"c", 1, "acc", true},
        {"b", 5, "a", true},  // one-character string: only the last test
        {"0", 5, "a", false},
        {"a", 1, "\x80", true},  // compared as signed: -128 <= 'a'
        {"\x80", 1, "a", false},
        {"abcz", 4, "cba", true},  // M limited by the string
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matches_reversed(c.array, c.count, c.string), c.expected)
            << c.array << " / " << c.count << " / " << c.string;
    }
}

class discovery_unit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        dir_ = scratch_.path();
    }
    void TearDown() override { debug_level = 0; }
    std::string log_text() const { return scratch_.text(); }
    rig::scratch_log scratch_;
    std::string dir_;
};

TEST_F(discovery_unit, probe_failures_leave_serial_and_flag_alone) {
    std::string serial = "KEEP";
    bool encserv = true;
    EXPECT_EQ(inquire_enclosure(nullptr, serial, encserv), -1);
    EXPECT_EQ(inquire_enclosure((dir_ + "/missing").c_str(), serial, encserv), -1);
    std::ofstream(dir_ + "/plain") << "not a device";
    EXPECT_EQ(inquire_enclosure((dir_ + "/plain").c_str(), serial, encserv), -1);
    EXPECT_EQ(serial, "KEEP");
    EXPECT_TRUE(encserv);
    EXPECT_EQ(log_text(), "");  // both messages are debug-only

    debug_level = 1;
    EXPECT_EQ(inquire_enclosure((dir_ + "/missing").c_str(), serial, encserv), -1);
    EXPECT_EQ(inquire_enclosure((dir_ + "/plain").c_str(), serial, encserv), -1);
    const std::string text = log_text();
    EXPECT_NE(text.find("Cannot open the device " + dir_ + "/missing. \n"), std::string::npos);
    EXPECT_NE(text.find("IOCTL failed on the device " + dir_ + "/plain. \n"), std::string::npos);
}

TEST_F(discovery_unit, only_names_beginning_with_sg_are_probed) {
    const std::string dev = dir_ + "/dev";
    ASSERT_EQ(::mkdir(dev.c_str(), 0755), 0);
    for (const char* name : {"s", "sda", "SG0", "xsg1", "sg", "sg0", "sgx"})
        std::ofstream(dev + "/" + name) << "file";
    ASSERT_EQ(::mkdir((dev + "/sgdir").c_str(), 0755), 0);

    debug_level = 1;
    device_sequence list;
    EXPECT_EQ(build_device_list(dev.c_str(), list), 0);
    EXPECT_EQ(list.size(), 0u);

    const std::string text = log_text();
    for (const char* name : {"sg", "sg0", "sgx"}) {
        EXPECT_NE(text.find("IOCTL failed on the device " + dev + "//" + name + ". "),
                  std::string::npos)
            << name;
    }
    // A directory named sg* is probed too: its open fails.
    EXPECT_NE(text.find("Cannot open the device " + dev + "//sgdir. "), std::string::npos);
    for (const char* name : {"//s.", "//sda", "//SG0", "//xsg1"})
        EXPECT_EQ(text.find(name), std::string::npos) << name;
}

TEST_F(discovery_unit, unreadable_directory_gives_minus_one_and_no_message) {
    device_sequence list;
    EXPECT_EQ(build_device_list((dir_ + "/nowhere").c_str(), list), -1);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(log_text(), "");
}

}  // namespace
