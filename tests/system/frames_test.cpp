// The frame layer against the simulated array, in process: the preloaded layer carries SG_IO
// on a node's descriptors to the simulator serving from a thread of this test, and the
// simulator's journal shows every command as it arrived and whether it kept the link's rules.
#include "channel/frames.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ground/clock.h"
#include "ground/settings.h"
#include "sim/sim.h"
#include "tests/support/rig.h"
#include "tests/support/scratch_log.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using sim::command_kind;
using sim::violation;

const std::string NODE = "sg1";
const std::string COOKIE_LINE = "Got new host cookie";

// Sleeps of the send retry, recorded instead of slept; only the test's main thread sends.
std::vector<int> slept;

std::uint8_t byte_of(std::uint32_t value, int shift) {
    return static_cast<std::uint8_t>(value >> shift);
}

/// What receive_tunnel_frame handed back.
struct received {
    int more = 0;
    std::uint16_t id = 0;
    int open = 0;
    int close = 0;
    std::string payload;
    bool operator==(const received&) const = default;
};

std::ostream& operator<<(std::ostream& os, const received& r) {
    return os << "{more " << r.more << " id " << r.id << " open " << r.open << " close " << r.close
              << " \"" << r.payload << "\"}";
}

received receive_one(int fd) {
    received r;
    unsigned char* payload = nullptr;
    int length = -1;
    r.more = receive_tunnel_frame(fd, &payload, &length, &r.open, &r.close, &r.id);
    if (payload != nullptr)
        r.payload.assign(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length));
    std::free(payload);
    return r;
}

int send_text(int fd, const std::string& text, int open, int close, std::uint16_t id) {
    return send_tunnel_frame(fd, reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<int>(text.size()), open, close, id);
}

/// The cookies and sequences that a send and a receive carried.
struct carried {
    std::uint16_t send_cookie, receive_cookie;
    std::uint32_t send_sequence, receive_sequence;
    bool operator==(const carried&) const = default;
};

std::ostream& operator<<(std::ostream& os, const carried& c) {
    return os << std::hex << "send " << c.send_cookie << "/" << c.send_sequence << " receive "
              << c.receive_cookie << "/" << c.receive_sequence;
}

class FramesOnArray : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig::layer_preloaded()) << rig::NOT_PRELOADED;
        ASSERT_TRUE(scratch_.ok());
        debug_level = 0;
        slept.clear();
        sleep_seconds = [](int seconds) { slept.push_back(seconds); };
        array_ = std::make_unique<sim::simulator>(scratch_.file("sim.sock"));
        sim::enclosure_config config;
        config.node = NODE;
        config.array = "A";
        array_->add_enclosure(config);
        array_->add_service("A", "echo", {sim::service_kind::echo, "", "", 0});
        ASSERT_TRUE(array_->start());
        array_->write_nodes(scratch_.path());
        // Two descriptors, as the tunnel has: one for sends and requests, one for receives.
        for (int* fd : {&send_fd_, &receive_fd_}) {
            *fd = open(scratch_.file(NODE).c_str(), O_RDWR);
            ASSERT_GE(*fd, 0);
        }
    }
    void TearDown() override {
        for (int fd : {send_fd_, receive_fd_}) {
            if (fd >= 0)
                close(fd);
        }
        if (array_)
            array_->stop();
        sleep_seconds = saved_sleep_;
    }

    /// Opens a link with exactly this cookie and starting sequence.
    void grant(std::uint16_t cookie, std::uint32_t sequence) {
        array_->plan_cookies(NODE, {true, cookie, sequence, 0, 1});
        ASSERT_EQ(request_host_cookie(send_fd_), 1);
    }

    /// Journal entries of the frame commands and cookie requests from entry `from` on.
    std::vector<sim::journal_entry> tunnel_entries(std::size_t from = 0) const {
        std::vector<sim::journal_entry> out;
        const auto all = array_->journal();
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].frame)
                out.push_back(all[i]);
        }
        return out;
    }

    std::size_t journal_size() const { return array_->journal().size(); }

    /// Every frame command so far kept the link's rules.
    void expect_no_violation() const {
        for (const auto& e : tunnel_entries()) {
            EXPECT_EQ(e.frame->problem, violation::none) << sim::format_entry(e);
        }
    }

    /// The cookie and sequence that the next send and the next receive carry (an empty
    /// keep-alive frame and a receive); both commands become part of the link.
    carried next_commands() {
        const std::size_t from = journal_size();
        EXPECT_EQ(send_tunnel_frame(send_fd_, nullptr, 0, 0, 0, 0), 0);
        receive_one(receive_fd_);
        const auto entries = tunnel_entries(from);
        if (entries.size() != 2) {
            ADD_FAILURE() << "expected one send and one receive, got " << entries.size();
            return {};
        }
        return {entries[0].frame->cookie, entries[1].frame->cookie, entries[0].frame->sequence,
                entries[1].frame->sequence};
    }

    std::size_t cookie_lines() const {
        const std::string log = scratch_.text();
        std::size_t count = 0;
        for (auto at = log.find(COOKIE_LINE); at != std::string::npos;
             at = log.find(COOKIE_LINE, at + 1))
            ++count;
        return count;
    }

    rig::scratch_log scratch_;
    std::unique_ptr<sim::simulator> array_;
    int send_fd_ = -1;
    int receive_fd_ = -1;
    seconds_sleep_function saved_sleep_ = sleep_seconds;
};

TEST_F(FramesOnArray, CommandsReachTheArrayAsBuilt) {
    grant(0x1234, 7);
    EXPECT_EQ(send_text(send_fd_, "echo", 1, 0, 0xABCD), 0);
    EXPECT_EQ(receive_one(receive_fd_), received{});
    EXPECT_EQ(send_text(send_fd_, "hi", 0, 0, 0xABCD), 0);
    EXPECT_EQ(send_text(send_fd_, "x", 0, 0, 0x0BAD), 0);  // no such connection: a close comes
    EXPECT_EQ(receive_one(receive_fd_), (received{1, 0xABCD, 0, 0, "hi"}));
    EXPECT_EQ(receive_one(receive_fd_), (received{0, 0x0BAD, 0, 1, ""}));
    EXPECT_EQ(receive_one(receive_fd_), received{});

    struct row {
        command_kind kind;
        int direction;
        unsigned cmd_len;
        unsigned dxfer_len;
        bytes cdb;
        std::string data_out;
    };
    const int in = SG_DXFER_FROM_DEV;
    const int out = SG_DXFER_TO_DEV;
    const row rows[] = {
        {command_kind::cookie_request,
         in,
         14,
         65535,
         {0x7F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0xFF, 0xFF, 0xFF, 0xFF},
         ""},
        {command_kind::frame_send,
         out,
         16,
         4,
         {0x7F, 0, 0x12, 0x34, 0xAB, 0xCD, 0x40, 8, 0xF8, 1, 0, 0, 0, 7, 0, 4},
         "echo"},
        // Nothing was waiting: the empty frame leaves the receive sequence where it was.
        {command_kind::frame_receive,
         in,
         14,
         65535,
         {0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0, 0, 0, 7},
         ""},
        {command_kind::frame_send,
         out,
         16,
         2,
         {0x7F, 0, 0x12, 0x34, 0xAB, 0xCD, 0, 8, 0xF8, 1, 0, 0, 0, 8, 0, 2},
         "hi"},
        {command_kind::frame_send,
         out,
         16,
         1,
         {0x7F, 0, 0x12, 0x34, 0x0B, 0xAD, 0, 8, 0xF8, 1, 0, 0, 0, 9, 0, 1},
         "x"},
        {command_kind::frame_receive,
         in,
         14,
         65535,
         {0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0, 0, 0, 7},
         ""},
        // A close without payload moves it on too.
        {command_kind::frame_receive,
         in,
         14,
         65535,
         {0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0, 0, 0, 8},
         ""},
        {command_kind::frame_receive,
         in,
         14,
         65535,
         {0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0, 0, 0, 9},
         ""},
    };
    const auto entries = tunnel_entries();
    ASSERT_EQ(entries.size(), std::size(rows));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(sim::format_entry(entries[i]));
        const sim::journal_entry& e = entries[i];
        const row& r = rows[i];
        EXPECT_EQ(e.kind, r.kind);
        EXPECT_EQ(e.interface_id, 'S');
        EXPECT_EQ(e.dxfer_direction, r.direction);
        EXPECT_EQ(e.cmd_len, r.cmd_len);
        EXPECT_EQ(e.mx_sb_len, 32u);
        EXPECT_EQ(e.dxfer_len, r.dxfer_len);
        EXPECT_EQ(e.timeout, 30000u);
        EXPECT_EQ(e.cdb, r.cdb);
        EXPECT_EQ(e.data_out, bytes(r.data_out.begin(), r.data_out.end()));
        EXPECT_EQ(e.frame->problem, violation::none);
    }
}

TEST_F(FramesOnArray, ThreeFailedSendsThenOneAcceptedAdvanceTheSequenceOnce) {
    const sim::fault_kind kinds[] = {sim::fault_kind::ioctl_error, sim::fault_kind::check_condition,
                                     sim::fault_kind::busy};
    std::uint16_t cookie = 0x0200;
    for (const sim::fault_kind kind : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        grant(++cookie, 40);
        slept.clear();
        array_->inject(NODE, {kind, command_kind::frame_send, 3});
        const std::size_t from = journal_size();
        EXPECT_EQ(send_text(send_fd_, "echo", 1, 0, 9), 0);
        EXPECT_EQ(slept, (std::vector<int>{1, 1, 1}));
        const auto attempts = tunnel_entries(from);
        ASSERT_EQ(attempts.size(), 4u);
        const bytes cdb{0x7F, 0, 0x02, byte_of(cookie, 0), 0, 9, 0x40, 8, 0xF8, 1, 0, 0, 0,
                        40,   0, 4};
        for (std::size_t i = 0; i < attempts.size(); ++i) {
            EXPECT_EQ(attempts[i].cdb, cdb) << i;
            const bool failed = attempts[i].ioctl_result != 0 || attempts[i].status != 0;
            EXPECT_EQ(failed, i < 3) << i;
        }
        EXPECT_EQ(next_commands(), (carried{cookie, cookie, 41, 40}));
    }
    expect_no_violation();
}

TEST_F(FramesOnArray, SequencesWrapFromTheLargestValue) {
    grant(0xBEEF, 0xFFFFFFFF);
    const std::size_t from = journal_size();
    EXPECT_EQ(send_text(send_fd_, "echo", 1, 0, 3), 0);
    EXPECT_EQ(send_text(send_fd_, "x", 0, 0, 3), 0);
    EXPECT_EQ(receive_one(receive_fd_), (received{0, 3, 0, 0, "x"}));
    EXPECT_EQ(next_commands(), (carried{0xBEEF, 0xBEEF, 1, 0}));
    std::vector<std::uint32_t> sequences;
    for (const auto& e : tunnel_entries(from))
        sequences.push_back(e.frame->sequence);
    EXPECT_EQ(sequences, (std::vector<std::uint32_t>{0xFFFFFFFF, 0, 0xFFFFFFFF, 1, 0}));
    expect_no_violation();
}

TEST_F(FramesOnArray, RefusedOrFailedCookieRequestLeavesTheLinkAsItWas) {
    struct row {
        const char* name;
        std::function<void(sim::simulator&)> arrange;
    };
    const row rows[] = {
        {"refused",
         [](sim::simulator& a) {
             a.plan_cookies(NODE, {false, 0, 0, 0, 1});
         }},
        {"check condition",
         [](sim::simulator& a) {
             a.inject(NODE, {sim::fault_kind::check_condition, command_kind::cookie_request, 1});
         }},
        {"ioctl error",
         [](sim::simulator& a) {
             a.inject(NODE, {sim::fault_kind::ioctl_error, command_kind::cookie_request, 1});
         }},
    };
    std::uint16_t cookie = 0x4300;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        grant(++cookie, 100);
        EXPECT_EQ(send_text(send_fd_, "echo", 1, 0, 5), 0);
        EXPECT_EQ(send_text(send_fd_, "ab", 0, 0, 5), 0);
        EXPECT_EQ(receive_one(receive_fd_), (received{0, 5, 0, 0, "ab"}));
        const std::size_t lines = cookie_lines();
        r.arrange(*array_);
        EXPECT_EQ(request_host_cookie(send_fd_), 0);
        EXPECT_EQ(have_host_cookie(), 1);
        EXPECT_EQ(cookie_lines(), lines);
        EXPECT_EQ(next_commands(), (carried{cookie, cookie, 102, 101}));
    }
    expect_no_violation();
}

// One thread receives in a loop, outside the tunnel's lock as the tunnel's receive thread
// does; the other, under that lock, drops and requests cookies and sends frames. Every grant
// hands out a new cookie with a starting sequence of its own, and a keep-alive comes with
// every receive, so a receive in flight across a grant has an advance to lose or misplace.
TEST_F(FramesOnArray, TwoThreadsKeepEveryCommandOnOneLink) {
    constexpr int ROUNDS = 1000;
    constexpr int RECEIVES_PER_ROUND = 3;
    // Link k starts 8 below k * SPAN (the first one just below the wrap); no link gets near the
    // next one's numbers, so a sequence tells the link it belongs to.
    constexpr std::uint32_t SPAN = 1u << 20;
    const auto start_of = [](int k) { return static_cast<std::uint32_t>(k) * SPAN - 8; };
    const auto cookie_of = [](int k) { return static_cast<std::uint16_t>(0x0100 + k); };
    for (int k = 0; k <= ROUNDS; ++k)
        array_->plan_cookies(NODE, {true, cookie_of(k), start_of(k), 0, 1});
    array_->set_tunnel(NODE, {65530, 1, {}});

    std::mutex tunnel;  // the tunnel's lock: every send, request and clear is made holding it
    {
        std::lock_guard hold(tunnel);
        ASSERT_EQ(request_host_cookie(send_fd_), 1);
    }
    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    std::atomic<int> receives{0};
    std::atomic<int> with_content{0};
    std::thread receiver([&] {
        while (!done.load()) {
            bool linked = false;
            {
                std::lock_guard hold(tunnel);
                linked = have_host_cookie() == 1;
            }
            if (!linked) {
                std::this_thread::yield();
                continue;
            }
            ++started;
            const received r = receive_one(receive_fd_);
            if (!r.payload.empty() || r.open || r.close)
                ++with_content;
            ++receives;
        }
    });
    int granted = 1;
    for (int round = 1; round <= ROUNDS; ++round) {
        {
            std::lock_guard hold(tunnel);
            // Odd rounds end the link first, even ones replace it while it is open.
            if (round % 2 == 1)
                clear_host_cookie();
            if (request_host_cookie(send_fd_) != 1)
                break;  // without a cookie the receiver would wait for ever
            ++granted;
            const std::uint16_t id = static_cast<std::uint16_t>(round);
            send_text(send_fd_, "echo", 1, 0, id);
            send_text(send_fd_, std::string(64, 'e'), 0, 0, id);
        }
        // The next round begins while a receive is in flight, after a few have ended.
        const int target = started.load() + RECEIVES_PER_ROUND;
        while (started.load() <= target)
            std::this_thread::yield();
    }
    done = true;
    receiver.join();
    EXPECT_EQ(granted, ROUNDS + 1);
    EXPECT_TRUE(slept.empty());

    struct link_seen {
        std::uint16_t cookie;
        std::uint32_t start;
    };
    std::vector<link_seen> links;  // granted before the command at hand arrived
    int frame_commands = 0, without_cookie = 0, of_an_older_link = 0;
    int violations = 0, off_their_link = 0;
    std::string first_fault;
    const auto fault = [&first_fault](int& count, const sim::journal_entry& e) {
        ++count;
        if (first_fault.empty())
            first_fault = sim::format_entry(e);
    };
    for (const auto& e : tunnel_entries()) {
        const sim::frame_fields& f = *e.frame;
        if (e.kind == command_kind::cookie_request) {
            ASSERT_EQ(e.status, 0);
            links.push_back({f.cookie, f.sequence});
            continue;
        }
        ++frame_commands;
        if (f.problem != violation::none)
            fault(violations, e);
        const auto belongs = [&f](const link_seen& l) { return f.sequence - l.start < SPAN; };
        if (f.cookie == 0) {
            // Built while no cookie was held: the numbers of an earlier link.
            ++without_cookie;
            if (!std::any_of(links.begin(), links.end(), belongs))
                fault(off_their_link, e);
            continue;
        }
        const auto link = std::find_if(links.begin(), links.end(),
                                       [&f](const link_seen& l) { return l.cookie == f.cookie; });
        if (link == links.end() || !belongs(*link))
            fault(off_their_link, e);
        else if (link + 1 != links.end())
            ++of_an_older_link;
    }
    EXPECT_EQ(violations, 0) << first_fault;
    EXPECT_EQ(off_their_link, 0) << first_fault;
    EXPECT_GE(receives.load(), ROUNDS * RECEIVES_PER_ROUND);
    EXPECT_GT(with_content.load(), 0);
    std::printf(
        "%d rounds: %d frame commands (%d receives, %d with content), %d without a "
        "cookie, %d of an older link\n",
        ROUNDS, frame_commands, receives.load(), with_content.load(), without_cookie,
        of_an_older_link);
}

}  // namespace
