// The virtual sg layer and the array simulator, driven the way the programs drive them:
// plain ioctl(SG_IO) calls on node files, which the preloaded layer forwards to a simulator
// serving on a thread of this process.
#include <fcntl.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"

// The open entries by their symbol names, whatever the headers rename them to.
extern "C" int entry_open(const char*, int, ...) __asm__("open");
extern "C" int entry_open64(const char*, int, ...) __asm__("open64");
extern "C" int entry_openat(int, const char*, int, ...) __asm__("openat");
extern "C" int entry_openat64(int, const char*, int, ...) __asm__("openat64");
extern "C" int entry_open_2(const char*, int) __asm__("__open_2");
extern "C" int entry_open64_2(const char*, int) __asm__("__open64_2");
extern "C" int entry_openat_2(int, const char*, int) __asm__("__openat_2");
extern "C" int entry_openat64_2(int, const char*, int) __asm__("__openat64_2");

namespace {

using bytes = std::vector<std::uint8_t>;

bool layer_preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "tolva_sglayer") != nullptr;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const bytes discovery_inquiry{0x12, 0x00, 0x00, 0x00, 0xFF, 0x00};

/// Inodes of this process's sockets connected to `path`: the layer's connections.
std::vector<ino_t> connections_to(const std::string& path) {
    std::vector<ino_t> found;
    for (int fd = 0; fd < 1024; ++fd) {
        struct sockaddr_un peer {};
        socklen_t length = sizeof(peer);
        struct stat st {};
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sun_family == AF_UNIX && path == peer.sun_path && fstat(fd, &st) == 0) {
            found.push_back(st.st_ino);
        }
    }
    return found;
}

/// The serial field of an INQUIRY answer.
std::string serial_of(const bytes& data) {
    return std::string(data.begin() + 36, data.begin() + 48);
}

bytes hostinfo_cdb(unsigned length, bool send) {
    return {0x7F,
            0x00,
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            0x00,
            0x00,
            0x00,
            0x02,
            0xF8,
            static_cast<std::uint8_t>(send ? 2 : 3)};
}

/// What one SG_IO call gave back.
struct reply {
    int rc = 0;
    int error = 0;
    sg_io_hdr_t header{};
    bytes data;
    std::array<std::uint8_t, 64> sense{};
};

class LayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(layer_preloaded())
            << "run with LD_PRELOAD naming libtolva_sglayer.so (ctest sets it)";
        char name[] = "/tmp/tolva-layer-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        sim_ = std::make_unique<sim::simulator>(dir_ + "/sim.sock");
        add("sg0", "A", "000000SN0001");
        add("sg1", "A", "000000SN0001");
        add("sg2", "B", "000000SN0002");
        ASSERT_TRUE(sim_->start());
    }

    void TearDown() override {
        if (sim_)
            sim_->stop();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    void add(const std::string& node, const std::string& array, const std::string& serial,
             std::function<void(sim::inquiry_identity&)> adjust = {}) {
        sim::enclosure_config config;
        config.node = node;
        config.array = array;
        config.identity.set_serial(serial);
        if (adjust)
            adjust(config.identity);
        sim_->add_enclosure(config);
        sim_->write_nodes(dir_);
    }

    std::string node(const std::string& name) const { return dir_ + "/" + name; }

    /// Runs one command on a node opened as the programs open it. `data` is sent for
    /// SG_DXFER_TO_DEV and is the (prefilled) receive buffer otherwise.
    reply issue(const std::string& name, bytes cdb, int direction, bytes data,
                unsigned mx_sb_len = 32,
                const std::function<void(sg_io_hdr_t&)>& adjust = {}) const {
        const int fd = open(node(name).c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            reply r;
            r.rc = -2;
            r.error = errno;
            return r;
        }
        reply r = issue_on(fd, std::move(cdb), direction, std::move(data), mx_sb_len, adjust);
        close(fd);
        return r;
    }

    /// The same on a descriptor the caller keeps open.
    static reply issue_on(int fd, bytes cdb, int direction, bytes data, unsigned mx_sb_len = 32,
                          const std::function<void(sg_io_hdr_t&)>& adjust = {}) {
        reply r;
        r.data = std::move(data);
        r.sense.fill(0xEE);
        sg_io_hdr_t& h = r.header;
        h.interface_id = 'S';
        h.dxfer_direction = direction;
        h.cmd_len = static_cast<unsigned char>(cdb.size());
        h.mx_sb_len = static_cast<unsigned char>(mx_sb_len);
        h.dxfer_len = static_cast<unsigned>(r.data.size());
        h.dxferp = r.data.empty() ? nullptr : r.data.data();
        h.cmdp = cdb.data();
        h.sbp = r.sense.data();
        h.timeout = 30000;
        if (adjust)
            adjust(h);
        errno = 0;
        r.rc = ioctl(fd, SG_IO, &h);
        r.error = errno;
        return r;
    }

    reply send_view(const std::string& name, const std::string& text) const {
        bytes data(text.begin(), text.end());
        data.push_back(0);
        return issue(name, hostinfo_cdb(static_cast<unsigned>(data.size()), true), SG_DXFER_TO_DEV,
                     data);
    }

    reply receive_view(const std::string& name, unsigned length = 65535) const {
        return issue(name, hostinfo_cdb(length, false), SG_DXFER_FROM_DEV, bytes(65535, 0xAA));
    }

    std::string dir_;
    std::unique_ptr<sim::simulator> sim_;
};

TEST_F(LayerTest, InquiryAnswersTheConfiguredIdentity) {
    add("sg3", "C", "ABCDEFGHIJKL", [](sim::inquiry_identity& id) {
        id.set_vendor("Olmarrin");
        id.peripheral = 0x3F;
        id.encserv = false;
    });
    const reply r = issue("sg3", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    ASSERT_EQ(r.rc, 0) << std::strerror(r.error);
    EXPECT_EQ(r.data[0], 0x3F);
    EXPECT_EQ(r.data[4], 91);
    EXPECT_EQ(r.data[6] & 0x40, 0);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 16), "Olmarrin");
    EXPECT_EQ(std::string(r.data.begin() + 36, r.data.begin() + 48), "ABCDEFGHIJKL");
    EXPECT_EQ(r.header.status, 0);
    EXPECT_EQ(r.header.driver_status, 0);
    EXPECT_EQ(r.header.sb_len_wr, 0);
    EXPECT_EQ(r.header.resid, 255 - 96);
    EXPECT_EQ(r.header.info & SG_INFO_CHECK, 0u);

    const reply good = issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    EXPECT_EQ(good.data[0], 0x0D);
    EXPECT_EQ(good.data[6] & 0x40, 0x40);
    EXPECT_EQ(std::string(good.data.begin() + 8, good.data.begin() + 16), "Trevasko");
    // A short vendor is padded with NUL bytes, as the discovery's text test expects.
    add("sg4", "C", "", [](sim::inquiry_identity& id) { id.set_vendor("Trev"); });
    const reply shortv = issue("sg4", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    EXPECT_EQ(bytes(shortv.data.begin() + 8, shortv.data.begin() + 16),
              (bytes{'T', 'r', 'e', 'v', 0, 0, 0, 0}));
    EXPECT_EQ(bytes(shortv.data.begin() + 36, shortv.data.begin() + 48), bytes(12, 0));
}

TEST_F(LayerTest, InquiryReturnsTheSmallestOfTheThreeLengths) {
    struct row {
        std::uint8_t additional_length;
        std::uint8_t allocation;
        unsigned dxfer_len;
        unsigned expected;
    };
    const row rows[] = {
        {91, 255, 255, 96}, {91, 36, 255, 36},    {91, 255, 40, 40}, {20, 255, 255, 25},
        {31, 255, 255, 36}, {255, 255, 255, 255}, {91, 0, 255, 0},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(testing::Message() << "addlen " << int(c.additional_length) << " alloc "
                                        << int(c.allocation) << " dxfer " << c.dxfer_len);
        add("sg9", "C", "000000SN0009",
            [&](sim::inquiry_identity& id) { id.additional_length = c.additional_length; });
        const reply r = issue("sg9", {0x12, 0, 0, 0, c.allocation, 0}, SG_DXFER_FROM_DEV,
                              bytes(c.dxfer_len, 0xAA));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.header.resid, static_cast<int>(c.dxfer_len - c.expected));
        // Bytes the device did not send keep what the caller had there.
        if (c.expected < c.dxfer_len) {
            EXPECT_EQ(r.data[c.expected], 0xAA);
        }
        if (c.expected > 4) {
            EXPECT_EQ(r.data[4], c.additional_length);
        }
    }
}

TEST_F(LayerTest, HeaderIsCheckedAsTheDriverDoes) {
    struct row {
        const char* name;
        std::function<void(sg_io_hdr_t&)> adjust;
        int expected_errno;  // 0: accepted
    };
    static std::uint8_t long_cdb[64] = {0x12, 0, 0, 0, 0xFF};
    const row rows[] = {
        {"interface_id Q", [](sg_io_hdr_t& h) { h.interface_id = 'Q'; }, ENOSYS},
        {"cmd_len 5", [](sg_io_hdr_t& h) { h.cmd_len = 5; }, EMSGSIZE},
        {"cmd_len 0", [](sg_io_hdr_t& h) { h.cmd_len = 0; }, EMSGSIZE},
        {"cmd_len 253",
         [](sg_io_hdr_t& h) {
             h.cmd_len = 253;
             h.cmdp = long_cdb;
         },
         EMSGSIZE},
        {"cmd_len 33",
         [](sg_io_hdr_t& h) {
             h.cmd_len = 33;
             h.cmdp = long_cdb;
         },
         EINVAL},
        {"cmd_len 252",
         [](sg_io_hdr_t& h) {
             h.cmd_len = 252;
             h.cmdp = long_cdb;
         },
         EINVAL},
        {"cmd_len 17",
         [](sg_io_hdr_t& h) {
             h.cmd_len = 17;
             h.cmdp = long_cdb;
         },
         0},
        {"direction -7", [](sg_io_hdr_t& h) { h.dxfer_direction = -7; }, EINVAL},
        {"direction -5", [](sg_io_hdr_t& h) { h.dxfer_direction = -5; }, EINVAL},
        {"null cmdp", [](sg_io_hdr_t& h) { h.cmdp = nullptr; }, EFAULT},
        {"null dxferp", [](sg_io_hdr_t& h) { h.dxferp = nullptr; }, EFAULT},
        {"iovec_count 1", [](sg_io_hdr_t& h) { h.iovec_count = 1; }, EINVAL},
        {"no data, null dxferp",
         [](sg_io_hdr_t& h) {
             h.dxfer_len = 0;
             h.dxferp = nullptr;
         },
         0},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        const std::size_t before = sim_->journal().size();
        const reply r =
            issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0), 32, c.adjust);
        if (c.expected_errno == 0) {
            EXPECT_EQ(r.rc, 0) << std::strerror(r.error);
            EXPECT_EQ(sim_->journal().size(), before + 1);
        } else {
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.error, c.expected_errno) << std::strerror(r.error);
            EXPECT_EQ(sim_->journal().size(), before) << "a refused request reached the device";
        }
    }
}

TEST_F(LayerTest, HostViewIsSharedWithinAnArrayOnly) {
    // Nothing stored yet: GOOD, no data, the buffer untouched.
    reply empty = receive_view("sg1");
    ASSERT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.header.status, 0);
    EXPECT_EQ(empty.header.resid, 65535);
    EXPECT_EQ(empty.data[0], 0xAA);

    const reply sent = send_view("sg0", "host view\nDEVICE0 name=vda\n");
    ASSERT_EQ(sent.rc, 0);
    EXPECT_EQ(sent.header.status, 0);
    EXPECT_EQ(sent.header.resid, 0);

    const std::string expected = std::string("host view\nDEVICE0 name=vda\n") + '\0';
    const reply back = receive_view("sg1");
    ASSERT_EQ(back.rc, 0);
    EXPECT_EQ(std::string(back.data.begin(), back.data.begin() + expected.size()), expected);
    EXPECT_EQ(back.data[expected.size()], 0xAA);
    EXPECT_EQ(back.header.resid, static_cast<int>(65535 - expected.size()));
    EXPECT_EQ(sim_->stored_view("A"), bytes(expected.begin(), expected.end()));

    // The length in the command block bounds the answer as much as dxfer_len does.
    const reply cut = receive_view("sg0", 4);
    EXPECT_EQ(std::string(cut.data.begin(), cut.data.begin() + 4), "host");
    EXPECT_EQ(cut.data[4], 0xAA);
    EXPECT_EQ(cut.header.resid, 65535 - 4);

    const reply other = receive_view("sg2");
    EXPECT_EQ(other.data[0], 0xAA);
    EXPECT_FALSE(sim_->stored_view("B").has_value());

    sim_->set_stored_view("B", {'x', 0});
    EXPECT_EQ(receive_view("sg2").data[0], 'x');
}

TEST_F(LayerTest, FaultsComeBackAsConfiguredThenStop) {
    struct row {
        const char* name;
        sim::fault_kind kind;
        std::function<void(const reply&)> check;
    };
    const row rows[] = {
        {"ioctl_error", sim::fault_kind::ioctl_error,
         [](const reply& r) {
             EXPECT_EQ(r.rc, -1);
             EXPECT_EQ(r.error, EIO);
         }},
        {"check_condition", sim::fault_kind::check_condition,
         [](const reply& r) {
             EXPECT_EQ(r.rc, 0);
             EXPECT_EQ(r.header.status, 0x02);
             EXPECT_EQ(r.header.masked_status, 0x01);
             EXPECT_EQ(r.header.driver_status, 0x08);
             EXPECT_EQ(r.header.sb_len_wr, 18);
             EXPECT_EQ(r.sense[0], 0x70);
             EXPECT_EQ(r.sense[2], 0x0B);
             EXPECT_EQ(r.data[0], 0xAA);
         }},
        {"busy", sim::fault_kind::busy,
         [](const reply& r) {
             EXPECT_EQ(r.rc, 0);
             EXPECT_EQ(r.header.status, 0x08);
             EXPECT_EQ(r.header.masked_status, 0x04);
             EXPECT_EQ(r.header.driver_status, 0);
             EXPECT_EQ(r.header.sb_len_wr, 0);
             EXPECT_EQ(r.data[0], 0xAA);
         }},
        {"good_no_data", sim::fault_kind::good_no_data,
         [](const reply& r) {
             EXPECT_EQ(r.rc, 0);
             EXPECT_EQ(r.header.status, 0);
             EXPECT_EQ(r.header.resid, 255);
             EXPECT_EQ(r.data[0], 0xAA);
         }},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        sim_->inject("sg0", {c.kind, sim::command_kind::inquiry, 2});
        for (int i = 0; i < 2; ++i) {
            c.check(issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0xAA)));
        }
        const reply normal = issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0xAA));
        EXPECT_EQ(normal.rc, 0);
        EXPECT_EQ(normal.header.status, 0);
        EXPECT_EQ(normal.data[8], 'T');
    }
    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 12u);
    EXPECT_EQ(journal[0].ioctl_result, -1);
    EXPECT_EQ(journal[0].error, EIO);
}

TEST_F(LayerTest, FaultsMatchTheirCommandKindAndEnclosure) {
    sim_->inject("sg0", {sim::fault_kind::good_no_data, sim::command_kind::hostinfo_send, -1});
    EXPECT_EQ(issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).data[8], 'T');
    EXPECT_EQ(send_view("sg0", "lost").rc, 0);
    EXPECT_FALSE(sim_->stored_view("A").has_value()) << "GOOD with no data stored something";
    EXPECT_EQ(send_view("sg0", "lost again").rc, 0);  // for all: still active
    EXPECT_FALSE(sim_->stored_view("A").has_value());
    EXPECT_EQ(send_view("sg1", "kept").rc, 0);  // another enclosure of the same array
    EXPECT_TRUE(sim_->stored_view("A").has_value());
    sim_->clear_faults("sg0");
    EXPECT_EQ(send_view("sg0", "now").rc, 0);
    EXPECT_EQ(sim_->stored_view("A"), (bytes{'n', 'o', 'w', 0}));
}

TEST_F(LayerTest, DelayStillBlocksANonBlockingDescriptor) {
    sim_->inject(
        "sg0", {sim::fault_kind::delay, sim::command_kind::any, 1, std::chrono::milliseconds(300)});
    const auto start = std::chrono::steady_clock::now();
    const reply r = issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.rc, 0) << std::strerror(r.error);
    EXPECT_EQ(r.data[8], 'T');
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_GE(r.header.duration, 300u);
}

TEST_F(LayerTest, VanishAnswersThenFailsEveryLaterCommand) {
    const int held = open(node("sg1").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    sim_->inject("sg1", {sim::fault_kind::vanish, sim::command_kind::inquiry, 1});
    const reply r = issue("sg1", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.data[8], 'T');
    const reply again = issue("sg1", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    EXPECT_EQ(again.rc, -2) << "the node can still be opened";
    EXPECT_EQ(again.error, ENOENT);
    // A descriptor opened before fails as the driver's does, whatever the command.
    for (const bytes& cdb : {discovery_inquiry, hostinfo_cdb(65535, false)}) {
        const reply stale = issue_on(held, cdb, SG_DXFER_FROM_DEV, bytes(255, 0xAA));
        EXPECT_EQ(stale.rc, -1);
        EXPECT_EQ(stale.error, ENODEV) << std::strerror(stale.error);
        EXPECT_EQ(stale.data[0], 0xAA);
    }
    close(held);
    EXPECT_TRUE(std::filesystem::exists(node("sg0")));
    EXPECT_EQ(issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc, 0);
}

TEST_F(LayerTest, UnknownCommandsGetIllegalRequestSense) {
    struct row {
        const char* name;
        bytes cdb;
        int direction;
        bytes sense;
    };
    const row rows[] = {
        {"service 9",
         {0x7F, 0, 0, 0, 0, 0, 0, 2, 0xF8, 9},
         SG_DXFER_FROM_DEV,
         {0x70, 0, 5, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0, 0, 0xcf, 0, 8}},
        {"READ(10)",
         {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         SG_DXFER_FROM_DEV,
         {0x70, 0, 5, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0}},
        {"additional length does not match cmd_len",
         {0x7F, 0, 0, 4, 0, 0, 0, 6, 0xF8, 2},
         SG_DXFER_TO_DEV,
         {0x70, 0, 5, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0, 0, 0xc0, 0, 7}},
        {"INQUIRY with EVPD",
         {0x12, 1, 0, 0, 0xFF, 0},
         SG_DXFER_FROM_DEV,
         {0x70, 0, 5, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0, 0, 0xc8, 0, 1}},
        {"INQUIRY of page 0x80",
         {0x12, 0, 0x80, 0, 0xFF, 0},
         SG_DXFER_FROM_DEV,
         {0x70, 0, 5, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0, 0, 0xc0, 0, 2}},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        const reply r = issue("sg0", c.cdb, c.direction, bytes(4, 0xAA));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.header.status, 0x02);
        EXPECT_EQ(r.header.masked_status, 0x01);
        EXPECT_EQ(r.header.host_status, 0);
        EXPECT_EQ(r.header.driver_status, 0x08);
        EXPECT_EQ(r.header.sb_len_wr, 18);
        EXPECT_EQ(r.header.resid, 4);
        EXPECT_EQ(r.header.info & SG_INFO_CHECK, 1u);
        EXPECT_EQ(bytes(r.sense.begin(), r.sense.begin() + 18), c.sense);
        EXPECT_EQ(r.sense[18], 0xEE);
        EXPECT_EQ(r.data[0], 0xAA);
    }
    EXPECT_FALSE(sim_->stored_view("A").has_value()) << "a refused send stored a view";

    // The sense buffer is never written past mx_sb_len.
    const reply small =
        issue("sg0", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SG_DXFER_FROM_DEV, bytes(4, 0), 8);
    EXPECT_EQ(small.header.sb_len_wr, 8);
    EXPECT_EQ(small.sense[7], 0x0a);
    EXPECT_EQ(small.sense[8], 0xEE);
}

TEST_F(LayerTest, JournalHoldsHeaderCommandAndDigest) {
    const std::string state = dir_ + "/state";
    std::filesystem::create_directory(state);
    sim_->set_state_directory(state);
    ASSERT_EQ(issue("sg0", hostinfo_cdb(1, true), SG_DXFER_TO_DEV, {'a'}).rc, 0);
    receive_view("sg2");

    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 2u);
    const sim::journal_entry& e = journal[0];
    EXPECT_EQ(e.sequence, 0u);
    EXPECT_EQ(e.enclosure, "sg0");
    EXPECT_EQ(e.array, "A");
    EXPECT_EQ(e.kind, sim::command_kind::hostinfo_send);
    EXPECT_EQ(e.interface_id, 'S');
    EXPECT_EQ(e.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(e.cmd_len, 10u);
    EXPECT_EQ(e.mx_sb_len, 32u);
    EXPECT_EQ(e.dxfer_len, 1u);
    EXPECT_EQ(e.timeout, 30000u);
    EXPECT_EQ(e.flags, 0u);
    EXPECT_EQ(e.iovec_count, 0);
    EXPECT_EQ(e.cdb, hostinfo_cdb(1, true));
    EXPECT_EQ(e.data_out, bytes{'a'});
    EXPECT_EQ(e.data_digest, 0xaf63dc4c8601ec8cULL);  // FNV-1a 64 of "a"
    EXPECT_EQ(journal[1].sequence, 1u);
    EXPECT_EQ(journal[1].kind, sim::command_kind::hostinfo_receive);
    EXPECT_EQ(journal[1].data_digest, 0xcbf29ce484222325ULL);  // nothing sent
    EXPECT_EQ(journal[1].data_in_len, 0u);

    EXPECT_EQ(read_file(state + "/A.view"), "a");
    EXPECT_EQ(read_file(state + "/journal.txt"),
              sim::format_entry(journal[0]) + "\n" + sim::format_entry(journal[1]) + "\n");
    EXPECT_NE(sim::format_entry(e).find("cdb=7f000001000000"
                                        "02f802"),
              std::string::npos);

    sim_->clear_journal();
    EXPECT_TRUE(sim_->journal().empty());
}

TEST_F(LayerTest, OtherRequestsReachTheRealIoctl) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "abc", 3), 3);
    int pending = 0;
    errno = 4242;
    EXPECT_EQ(ioctl(pipe_fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    EXPECT_EQ(errno, 4242) << "the pass-through changed errno on success";
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    // SG_IO on a file that is not a node fails as it does without the layer: ENOTTY from the
    // kernel, ENOSYS from a user-mode emulator that does not know the request.
    const std::string plain = dir_ + "/sg7";
    std::ofstream(plain) << "not a node\n";
    const int fd = open(plain.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = 6;
    h.cmdp = const_cast<std::uint8_t*>(discovery_inquiry.data());
    ASSERT_EQ(syscall(SYS_ioctl, fd, SG_IO, &h), -1);
    const int without_layer = errno;
    EXPECT_TRUE(without_layer == ENOTTY || without_layer == ENOSYS) << without_layer;
    EXPECT_EQ(ioctl(fd, SG_IO, &h), -1);
    EXPECT_EQ(errno, without_layer);
    // Other requests on a node go through too.
    const int node_fd = open(node("sg0").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(node_fd, 0);
    EXPECT_EQ(ioctl(node_fd, FIONREAD, &pending), 0);
    EXPECT_GT(pending, 0);
    close(node_fd);
    close(fd);
    EXPECT_TRUE(sim_->journal().empty());

    // A node whose simulator is gone is a dead device.
    sim_->stop();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/sim.sock"));
    const reply dead = issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
    EXPECT_EQ(dead.rc, -1);
    EXPECT_EQ(dead.error, EIO);
}

TEST_F(LayerTest, ForkedAndConcurrentClientsAreServed) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const reply r = issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
        _exit(r.rc == 0 && r.data[8] == 'T' ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const std::string name = t % 2 ? "sg1" : "sg2";
                if (issue(name, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc == 0)
                    ++good;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 80);
    EXPECT_EQ(sim_->journal().size(), 81u);
}

TEST_F(LayerTest, ANodeOpenedBeforeTheLastDescriptorWentStillAnswers) {
    // In a child, so that the simulator's threads keep their descriptors.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(node("sg2").c_str(), O_RDWR | O_NONBLOCK);
        const int spare = open("/dev/null", O_RDONLY);
        struct rlimit limit {
            64, 64
        };
        if (fd < 0 || spare < 0 || fd >= 60 || setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(10);
        while (dup(spare) >= 0) {
        }
        if (errno != EMFILE)
            _exit(11);
        for (int i = 0; i < 20; ++i) {
            const reply r = issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
            if (r.rc != 0 || serial_of(r.data) != "000000SN0002")
                _exit(12);
        }
        // With one descriptor free, a node cannot have its connection: its open fails and
        // gives the descriptor back.
        close(spare);
        if (open(node("sg0").c_str(), O_RDWR | O_NONBLOCK) != -1 || errno != EMFILE)
            _exit(13);
        if (open("/dev/null", O_RDONLY) < 0)
            _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setup, 11 not at the limit, 12 a command failed, "
                                         "13 the node opened, 14 its descriptor was kept";
    EXPECT_EQ(sim_->journal().size(), 20u);
}

TEST_F(LayerTest, ThreadsGetTheirOwnEnclosuresAnswers) {
    struct row {
        const char* name;
        bool one_descriptor;
    };
    const row rows[] = {{"two descriptors of two enclosures", false}, {"one descriptor", true}};
    sim_->set_stored_view("A", bytes(60000, 'a'));
    sim_->set_stored_view("B", bytes(50000, 'b'));
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        sim_->clear_journal();
        const int first = open(node("sg0").c_str(), O_RDWR | O_NONBLOCK);
        const int second = c.one_descriptor ? first : open(node("sg2").c_str(), O_RDWR);
        ASSERT_GE(first, 0);
        ASSERT_GE(second, 0);
        std::atomic<int> wrong{0};
        // The two threads send different commands at the same time, so that answers crossed
        // between them show.
        auto run = [&](int fd, std::uint8_t fill, std::size_t size, const std::string& serial,
                       int phase) {
            for (int i = phase; i < 300 + phase; ++i) {
                if (i % 2 == 0) {
                    const reply r = issue_on(fd, hostinfo_cdb(65535, false), SG_DXFER_FROM_DEV,
                                             bytes(65535, 0));
                    if (r.rc != 0 || r.header.resid != static_cast<int>(65535 - size) ||
                        std::count(r.data.begin(), r.data.end(), fill) != static_cast<long>(size))
                        ++wrong;
                } else {
                    const reply r =
                        issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
                    if (r.rc != 0 || r.header.resid != 255 - 96 || serial_of(r.data) != serial)
                        ++wrong;
                }
            }
        };
        std::thread a(run, first, 'a', 60000, "000000SN0001", 0);
        if (c.one_descriptor) {
            run(second, 'a', 60000, "000000SN0001", 1);
        } else {
            run(second, 'b', 50000, "000000SN0002", 1);
        }
        a.join();
        EXPECT_EQ(wrong.load(), 0);
        const auto journal = sim_->journal();
        EXPECT_EQ(journal.size(), 600u);
        EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                                [](const sim::journal_entry& e) { return e.enclosure == "sg0"; }),
                  c.one_descriptor ? 600 : 300);
        close(first);
        if (!c.one_descriptor)
            close(second);
    }
}

TEST_F(LayerTest, ADescriptorNumberReusedReachesItsNewNode) {
    // Each way of letting the descriptor go, then the same number on a node of another
    // simulator, which the old connection does not reach.
    struct row {
        const char* name;
        std::function<int(int fd, const std::string& other)> reuse;
    };
    const row rows[] = {
        {"close",
         [](int fd, const std::string& other) {
             close(fd);
             return open(other.c_str(), O_RDWR | O_NONBLOCK);
         }},
        {"close_range, which the layer does not see",
         [](int fd, const std::string& other) {
             close_range(fd, fd, 0);
             return open(other.c_str(), O_RDWR | O_NONBLOCK);
         }},
        {"the close system call",
         [](int fd, const std::string& other) {
             syscall(SYS_close, fd);
             return open(other.c_str(), O_RDWR | O_NONBLOCK);
         }},
        {"dup2 of another node over it",
         [](int fd, const std::string& other) {
             const int copy = open(other.c_str(), O_RDWR | O_NONBLOCK);
             const int at = dup2(copy, fd);
             close(copy);
             return at;
         }},
    };
    sim::simulator other(dir_ + "/other.sock");
    sim::enclosure_config config;
    config.node = "sg5";
    config.array = "Z";
    config.identity.set_serial("000000SN0005");
    other.add_enclosure(config);
    ASSERT_TRUE(other.start());
    std::filesystem::create_directory(dir_ + "/other");
    other.write_nodes(dir_ + "/other");
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        const int fd = open(node("sg0").c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(serial_of(issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).data),
                  "000000SN0001");
        ASSERT_EQ(c.reuse(fd, dir_ + "/other/sg5"), fd);
        const reply r = issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
        ASSERT_EQ(r.rc, 0) << std::strerror(r.error);
        EXPECT_EQ(serial_of(r.data), "000000SN0005");
        EXPECT_EQ(other.journal().back().enclosure, "sg5");
        EXPECT_TRUE(connections_to(dir_ + "/sim.sock").empty()) << "the old connection was kept";
        EXPECT_EQ(connections_to(dir_ + "/other.sock").size(), 1u);
        close(fd);
    }
    other.stop();
}

TEST_F(LayerTest, ConnectionsFollowDescriptorsNotCommands) {
    const std::string path = dir_ + "/sim.sock";
    ASSERT_TRUE(connections_to(path).empty());
    const int fd = open(node("sg0").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const auto opened = connections_to(path);
    ASSERT_EQ(opened.size(), 1u) << "opening a node connects";
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc, 0);
    EXPECT_EQ(connections_to(path), opened);
    // A copy the layer did not see opened gets one connection of its own on first use.
    const int copy = dup(fd);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(issue_on(copy, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc, 0);
    EXPECT_EQ(connections_to(path).size(), 2u);
    close(copy);
    close(fd);
    EXPECT_TRUE(connections_to(path).empty());
    EXPECT_EQ(sim_->journal().size(), 100u);
}

TEST_F(LayerTest, EveryOpenEntryConnectsItsNode) {
    struct row {
        const char* name;
        int (*open_node)(const char* path);
    };
    const row rows[] = {
        {"open", [](const char* p) { return entry_open(p, O_RDWR | O_NONBLOCK); }},
        {"open64", [](const char* p) { return entry_open64(p, O_RDWR | O_NONBLOCK); }},
        {"openat", [](const char* p) { return entry_openat(AT_FDCWD, p, O_RDWR); }},
        {"openat64", [](const char* p) { return entry_openat64(AT_FDCWD, p, O_RDWR); }},
        {"__open_2", [](const char* p) { return entry_open_2(p, O_RDWR); }},
        {"__open64_2", [](const char* p) { return entry_open64_2(p, O_RDWR); }},
        {"__openat_2", [](const char* p) { return entry_openat_2(AT_FDCWD, p, O_RDWR); }},
        {"__openat64_2", [](const char* p) { return entry_openat64_2(AT_FDCWD, p, O_RDWR); }},
    };
    const std::string path = dir_ + "/sim.sock";
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        const int fd = c.open_node(node("sg2").c_str());
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(connections_to(path).size(), 1u);
        EXPECT_EQ(serial_of(issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).data),
                  "000000SN0002");
        close(fd);
        EXPECT_TRUE(connections_to(path).empty());
    }
}

TEST_F(LayerTest, AForkedChildDoesNotShareItsParentsConnection) {
    const std::string path = dir_ + "/sim.sock";
    const int fd = open(node("sg0").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const auto parents = connections_to(path);
    ASSERT_EQ(parents.size(), 1u);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const reply r = issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
        const auto mine = connections_to(path);
        _exit(r.rc == 0 && serial_of(r.data) == "000000SN0001" && mine.size() == 1 &&
                      mine != parents
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The child's end of the parent's connection went with it; the parent's still works.
    EXPECT_EQ(issue_on(fd, discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc, 0);
    EXPECT_EQ(connections_to(path), parents);
    close(fd);
}

TEST_F(LayerTest, ADelayedCommandHoldsOnlyItsCaller) {
    sim_->inject("sg0",
                 {sim::fault_kind::delay, sim::command_kind::any, 1, std::chrono::seconds(20)});
    std::atomic<bool> answered{false};
    std::thread slow([&] {
        EXPECT_EQ(issue("sg0", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0)).rc, 0);
        answered = true;
    });
    // Commands of another enclosure until one arrives after the slow one, whose number the
    // journal then skips.
    std::size_t before = 0;
    for (int i = 0; i < 5000 && before == 0; ++i) {
        const reply r = issue("sg2", discovery_inquiry, SG_DXFER_FROM_DEV, bytes(255, 0));
        EXPECT_EQ(r.rc, 0);
        const auto journal = sim_->journal();
        if (journal.back().sequence >= journal.size())
            before = journal.size();
    }
    EXPECT_GT(before, 0u);
    EXPECT_FALSE(answered) << "the other enclosure waited for the delay";
    sim_->stop();  // ends the delay
    slow.join();
    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), before + 1);
    for (std::size_t i = 0; i < journal.size(); ++i) {
        EXPECT_EQ(journal[i].sequence, i);
        EXPECT_EQ(journal[i].enclosure, i + 1 == before ? "sg0" : "sg2") << i;
    }
}

TEST_F(LayerTest, StopDoesNotWaitForAnIdleClient) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string path = sim_->socket_path();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(write(fd, "QR", 2), 2);  // half a request, then silence
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim_->stop();  // must return although the client holds its connection
    EXPECT_FALSE(std::filesystem::exists(path));
    close(fd);
}

// The simulator as a program, as the demo runs it.
class SimProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(layer_preloaded());
        char name[] = "/tmp/tolva-simprog-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        std::filesystem::create_directory(dir_ + "/dev");
        std::filesystem::create_directory(dir_ + "/state");
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }

    static std::string program() {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                "sim" / "tolva-sim")
            .string();
    }

    // Starts tolva-sim with `config`; returns its first line of output.
    std::string start(const std::string& config) {
        std::ofstream(dir_ + "/sim.conf") << config;
        int out[2];
        if (pipe(out) != 0)
            return "";
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(out[0]);
            const std::string sock = dir_ + "/sim.sock", nodes = dir_ + "/dev",
                              state = dir_ + "/state", conf = dir_ + "/sim.conf";
            const std::string exe = program();
            execl(exe.c_str(), exe.c_str(), "--socket", sock.c_str(), "--nodes", nodes.c_str(),
                  "--state", state.c_str(), "--config", conf.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        return line;
    }

    int stop(int signal_number) {
        kill(pid_, signal_number);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    pid_t pid_ = -1;
};

TEST_F(SimProgramTest, ServesItsConfigurationUntilTerminated) {
    ASSERT_EQ(start("# two enclosures\n"
                    "enclosure sg0 array=A serial=000000SN0001\n"
                    "enclosure sg2 array=C serial=000000SN0003 vendor=Olmarrin encserv=0 "
                    "peripheral=0x1f addlen=31\n"
                    "fault sg0 busy on=inquiry count=1\n"),
              "ready");
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/sim.sock"));

    auto inquiry = [&](const std::string& name) {
        reply r;
        r.data.assign(255, 0);
        const int fd = open((dir_ + "/dev/" + name).c_str(), O_RDWR | O_NONBLOCK);
        sg_io_hdr_t& h = r.header;
        h.interface_id = 'S';
        h.dxfer_direction = SG_DXFER_FROM_DEV;
        h.cmd_len = 6;
        h.cmdp = const_cast<std::uint8_t*>(discovery_inquiry.data());
        h.dxfer_len = 255;
        h.dxferp = r.data.data();
        h.mx_sb_len = 32;
        h.sbp = r.sense.data();
        r.rc = ioctl(fd, SG_IO, &h);
        close(fd);
        return r;
    };
    EXPECT_EQ(inquiry("sg0").header.status, 0x08);
    const reply good = inquiry("sg0");
    EXPECT_EQ(good.header.status, 0);
    EXPECT_EQ(std::string(good.data.begin() + 8, good.data.begin() + 16), "Trevasko");
    const reply other = inquiry("sg2");
    EXPECT_EQ(other.data[0], 0x1f);
    EXPECT_EQ(other.data[4], 31);
    EXPECT_EQ(other.data[6] & 0x40, 0);
    EXPECT_EQ(other.header.resid, 255 - 36);
    EXPECT_EQ(std::string(other.data.begin() + 8, other.data.begin() + 16), "Olmarrin");

    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/sim.sock"));
    const std::string journal = read_file(dir_ + "/state/journal.txt");
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 3);
}

TEST_F(SimProgramTest, RefusesABadConfiguration) {
    const char* bad[] = {
        "enclosure sg0 serial=1\n",                                   // no array
        "enclosure sg0 array=A encserv=2\n",                          // out of range
        "fault sg5 busy\n",                                           // unknown enclosure
        "enclosure sg0 array=A\nfault sg0 melt\n",                    // unknown kind
        "enclosure sg0 array=A\nfault sg0 busy on=sometimes\n",       // unknown command kind
        "enclosures sg0 array=A\n",                                   // unknown line
        "enclosure sg0 array=A\nservice Z port echo\n",               // unknown array
        "enclosure sg0 array=A\nservice A port relay 10.0.0.1:80\n",  // not loopback
        "enclosure sg0 array=A\nservice A port greet\n",              // no text
        "enclosure sg0 array=A\ncookie sg0 grant cookie=0xffff\n",    // that is a refusal
        "enclosure sg0 array=A\ncookie sg0 refuse sequence=1\n",      // refusals have none
        "enclosure sg0 array=A\ntunnel sg0 frame_size=0\n",           // out of range
        "enclosure sg0 array=A\nfault sg0 busy on=frames\n",          // unknown command kind
    };
    for (const char* config : bad) {
        SCOPED_TRACE(config);
        const std::string line = start(config);
        EXPECT_EQ(line.rfind("tolva-sim: ", 0), 0u) << line;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }
}

}  // namespace
