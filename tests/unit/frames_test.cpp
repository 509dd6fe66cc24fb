#include "channel/frames.h"

#include <stdlib.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "channel/tunnel_responses.h"
#include "ground/clock.h"
#include "ground/settings.h"
#include "tests/support/scratch_log.h"
#include "tests/unit/fake_driver.h"
#include "tests/unit/stop_capture.h"

namespace {

using bytes = std::vector<unsigned char>;
using lines = std::vector<std::string>;

constexpr int FD = 3;

bytes cookie_answer(std::uint16_t cookie, std::uint32_t sequence) {
    return {0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            static_cast<unsigned char>(cookie >> 8),
            static_cast<unsigned char>(cookie),
            static_cast<unsigned char>(sequence >> 24),
            static_cast<unsigned char>(sequence >> 16),
            static_cast<unsigned char>(sequence >> 8),
            static_cast<unsigned char>(sequence)};
}

bytes frame_answer(bytes head, std::size_t payload_bytes) {
    head.resize(head.size() + payload_bytes, 'p');
    return head;
}

fake::answer good(bytes data) {
    return fake::answer{0, 0, std::move(data)};
}
const fake::answer IOCTL_FAILS{-1, 0, {}};
const fake::answer CHECK_CONDITION{0, 0x02, {}};
const fake::answer BUSY{0, 0x08, {}};

std::uint16_t cookie_of(const bytes& cdb) {
    return static_cast<std::uint16_t>(cdb.at(2) << 8 | cdb.at(3));
}
std::uint32_t sequence_of(const bytes& cdb) {
    return static_cast<std::uint32_t>(cdb.at(10)) << 24 | cdb.at(11) << 16 | cdb.at(12) << 8 |
           cdb.at(13);
}

// The cookie and sequence numbers that the next receive and send commands carry.
struct carried {
    std::uint16_t cookie;
    std::uint32_t receive_sequence;
    std::uint32_t send_sequence;
    bool operator==(const carried&) const = default;
};
std::ostream& operator<<(std::ostream& os, const carried& c) {
    char text[64];
    std::snprintf(text, sizeof text, "cookie %04x receive %08x send %08x", c.cookie,
                  c.receive_sequence, c.send_sequence);
    return os << text;
}

std::vector<int> slept;

class Frames : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        debug_level = 0;
        slept.clear();
        sleep_seconds = [](int seconds) { slept.push_back(seconds); };
        fake::activate();
    }
    void TearDown() override {
        fake::sg.active = false;
        sleep_seconds = saved_sleep_;
        debug_level = 0;
    }

    // Starts every test from a known link; forgets its command and its log line.
    void open_link(std::uint16_t cookie, std::uint32_t sequence) {
        fake::sg.script.push_back(good(cookie_answer(cookie, sequence)));
        ASSERT_EQ(request_host_cookie(FD), 1);
        fake::sg.calls.clear();
        messages();
    }

    // Issues a refused receive (no change) and an accepted send (the last thing a test does).
    carried next_commands() {
        const std::size_t first = fake::sg.calls.size();
        fake::sg.script.push_back(CHECK_CONDITION);
        fake::sg.script.push_back(good({}));
        unsigned char* payload = nullptr;
        receive_tunnel_frame(FD, &payload, nullptr, nullptr, nullptr, nullptr);
        send_tunnel_frame(FD, nullptr, 0, 0, 0, 0);
        if (fake::sg.calls.size() != first + 2) {
            ADD_FAILURE() << "expected one receive and one send";
            return {};
        }
        const bytes& receive = fake::sg.calls[first].cdb;
        const bytes& send = fake::sg.calls[first + 1].cdb;
        EXPECT_EQ(cookie_of(receive), cookie_of(send));
        return {cookie_of(receive), sequence_of(receive), sequence_of(send)};
    }

    // Log messages written since the last call, time stamps removed.
    lines messages() {
        std::ifstream in(scratch_.file("tolvad.log"));
        lines all;
        std::string line;
        while (std::getline(in, line))
            all.push_back(line.size() >= 21 ? line.substr(21) : line);
        lines fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end());
        seen_ = all.size();
        return fresh;
    }

    rig::scratch_log scratch_;
    std::size_t seen_ = 0;
    seconds_sleep_function saved_sleep_ = sleep_seconds;
};

struct receive_case {
    const char* name;
    fake::answer answer;
    bool frame;  // false: a failed receive
    int more, open, close;
    std::uint16_t connection_id;
    int length;
    bool advances;
};

void PrintTo(const receive_case& c, std::ostream* os) {
    *os << c.name;
}

class Receive : public Frames, public ::testing::WithParamInterface<receive_case> {};

TEST_P(Receive, DecodesTheResponseAndAdvancesByItsFlags) {
    const receive_case& c = GetParam();
    open_link(0x1234, 7);
    fake::sg.script.push_back(c.answer);
    unsigned char untouched = 0;
    unsigned char* payload = &untouched;
    int length = -9, open = -9, close = -9;
    std::uint16_t id = 0xEEEE;
    const int more = receive_tunnel_frame(FD, &payload, &length, &open, &close, &id);

    ASSERT_EQ(fake::sg.calls.size(), 1u);
    const fake::call& command = fake::sg.calls[0];
    EXPECT_EQ(command.cdb, (bytes{0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 0x06, 0xF8, 0, 0, 0, 0, 7}));
    EXPECT_EQ(command.header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(command.header.dxfer_len, 65535u);

    EXPECT_EQ(more, c.more);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(open, c.open);
    EXPECT_EQ(close, c.close);
    EXPECT_EQ(id, c.connection_id);
    if (c.frame) {
        ASSERT_NE(payload, nullptr);
        ASSERT_NE(payload, &untouched);
        if (length > 0) {
            EXPECT_EQ(bytes(payload, payload + length),
                      bytes(c.answer.data_in.begin() + 5, c.answer.data_in.begin() + 5 + length));
        }
        std::free(payload);
    } else {
        EXPECT_EQ(payload, nullptr);
    }
    EXPECT_EQ(next_commands(), (carried{0x1234, c.advances ? 8u : 7u, 7}));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Receive,
    ::testing::Values(
        receive_case{"MoreOnly", good({0, 5, 0x80, 0, 0}), true, 1, 0, 0, 5, 0, false},
        receive_case{"CloseOnly", good({0, 5, 0x20, 0, 0}), true, 0, 0, 1, 5, 0, true},
        receive_case{"OpenOnly", good({0, 5, 0x40, 0, 0}), true, 0, 1, 0, 5, 0, true},
        receive_case{"OnePayloadByte", good({0, 0x2A, 0, 0, 1, 'x'}), true, 0, 0, 0, 0x2A, 1, true},
        receive_case{"MoreAndOpenWithNineBytes", good(frame_answer({0, 0x2A, 0xC0, 0, 9}, 9)), true,
                     1, 1, 0, 0x2A, 9, true},
        receive_case{"LowFlagBitsIgnored", good({0xAB, 0xCD, 0x1F, 0, 0}), true, 0, 0, 0, 0xABCD, 0,
                     false},
        receive_case{"PayloadFillsTheBuffer", good(frame_answer({0, 1, 0, 0xFF, 0xFA}, 65530)),
                     true, 0, 0, 0, 1, 65530, true},
        receive_case{"PayloadBeyondTheBuffer", good(frame_answer({0, 1, 0x80, 0xFF, 0xFB}, 65530)),
                     false, 0, 0, 0, 0, 0, false},
        receive_case{"NoDataMoved", good({}), true, 0, 0, 0, 0, 0, false},
        receive_case{"IoctlFails", IOCTL_FAILS, false, 0, 0, 0, 0, 0, false},
        receive_case{"CheckCondition", fake::answer{0, 0x02, {0, 1, 0x20, 0, 0}}, false, 0, 0, 0, 0,
                     0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Frames, ReceiveWritesOnlyTheGivenOutputs) {
    open_link(0x1234, 7);
    fake::sg.script.push_back(good({0, 9, 0xA0, 0, 2, 'h', 'i'}));
    fake::sg.script.push_back(IOCTL_FAILS);
    unsigned char* payload = nullptr;
    EXPECT_EQ(receive_tunnel_frame(FD, &payload, nullptr, nullptr, nullptr, nullptr), 1);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(bytes(payload, payload + 2), (bytes{'h', 'i'}));
    std::free(payload);
    EXPECT_EQ(receive_tunnel_frame(FD, &payload, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(payload, nullptr);
    EXPECT_EQ(next_commands(), (carried{0x1234, 8, 7}));
}

struct cookie_case {
    const char* name;
    fake::answer answer;
    int debug;
    int result;
    lines log;
    carried after;
};

void PrintTo(const cookie_case& c, std::ostream* os) {
    *os << c.name;
}

class Cookie : public Frames, public ::testing::WithParamInterface<cookie_case> {};

TEST_P(Cookie, RequestSetsTheWholeLinkOrNothing) {
    const cookie_case& c = GetParam();
    open_link(0x0A0B, 100);
    debug_level = c.debug;
    fake::sg.script.push_back(c.answer);
    EXPECT_EQ(request_host_cookie(FD), c.result);
    debug_level = 0;

    ASSERT_EQ(fake::sg.calls.size(), 1u);
    const fake::call& command = fake::sg.calls[0];
    EXPECT_EQ(command.cdb,
              (bytes{0x7F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x06, 0xF8, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(command.header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(command.header.dxfer_len, 65535u);
    EXPECT_EQ(messages(), c.log);
    EXPECT_EQ(have_host_cookie(), c.after.cookie != 0 ? 1 : 0);
    EXPECT_EQ(next_commands(), c.after);
}

const carried UNCHANGED{0x0A0B, 100, 100};

INSTANTIATE_TEST_SUITE_P(
    Frames, Cookie,
    ::testing::Values(
        cookie_case{"Granted",
                    good(cookie_answer(0x1234, 7)),
                    0,
                    1,
                    {"Got new host cookie 0x1234 sequence 0x00000007", ""},
                    {0x1234, 7, 7}},
        cookie_case{"HeadBytesIgnored",
                    good({0, 0x2A, 0xE0, 0, 9, 0x12, 0x34, 0, 0, 0, 7}),
                    1,
                    1,
                    {"Got new host cookie 0x1234 sequence 0x00000007", ""},
                    {0x1234, 7, 7}},
        cookie_case{"LargestValues",
                    good(cookie_answer(0xFFFE, 0xFFFFFFFF)),
                    0,
                    1,
                    {"Got new host cookie 0xfffe sequence 0xffffffff", ""},
                    {0xFFFE, 0xFFFFFFFF, 0xFFFFFFFF}},
        cookie_case{"CookieZeroIsTakenButIsNoCookie",
                    good(cookie_answer(0, 0)),
                    0,
                    1,
                    {"Got new host cookie 0x0000 sequence 0x00000000", ""},
                    {0, 0, 0}},
        cookie_case{"Refused", good(cookie_answer(0xFFFF, 5)), 0, 0, {}, UNCHANGED},
        cookie_case{"NoDataMovedIsARefusal", good({}), 0, 0, {}, UNCHANGED},
        cookie_case{
            "CheckCondition", fake::answer{0, 0x02, cookie_answer(0x1234, 7)}, 1, 0, {}, UNCHANGED},
        cookie_case{
            "IoctlFailsReportsTheStatus",
            fake::answer{-1, 0x02, {}},
            1,
            0,
            {"In generate_scsi_ioctl: ioctl failed.", "", "generate_scsi_ioctl scsi status: 2", ""},
            UNCHANGED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Frames, FailedSendsAreRetriedWithTheSameValuesAndAdvanceOnce) {
    open_link(0x1234, 7);
    fake::sg.script = {IOCTL_FAILS, CHECK_CONDITION, BUSY, good({})};
    const unsigned char payload[] = {'a', 'b', 'c'};
    EXPECT_EQ(send_tunnel_frame(FD, payload, 3, 1, 0, 0xABCD), 0);
    ASSERT_EQ(fake::sg.calls.size(), 4u);
    for (const fake::call& attempt : fake::sg.calls) {
        EXPECT_EQ(attempt.cdb, (bytes{0x7F, 0, 0x12, 0x34, 0xAB, 0xCD, 0x40, 0x08, 0xF8, 0x01, 0, 0,
                                      0, 7, 0, 3}));
        EXPECT_EQ(attempt.header.dxfer_direction, SG_DXFER_TO_DEV);
        EXPECT_EQ(attempt.data_out, (bytes{'a', 'b', 'c'}));
    }
    EXPECT_EQ(slept, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(next_commands(), (carried{0x1234, 7, 8}));
}

TEST_F(Frames, EachSendAttemptCarriesTheLinkCurrentThen) {
    open_link(0x1234, 7);
    fake::sg.script = {IOCTL_FAILS, good(cookie_answer(0x5678, 20)), good({})};
    fake::sg.during = [] { request_host_cookie(FD); };
    EXPECT_EQ(send_tunnel_frame(FD, nullptr, 0, 0, 1, 0x0102), 0);
    ASSERT_EQ(fake::sg.calls.size(), 3u);
    EXPECT_EQ(fake::sg.calls[0].cdb,
              (bytes{0x7F, 0, 0x12, 0x34, 0x01, 0x02, 0x20, 0x08, 0xF8, 0x01, 0, 0, 0, 7, 0, 0}));
    EXPECT_EQ(fake::sg.calls[2].cdb,
              (bytes{0x7F, 0, 0x56, 0x78, 0x01, 0x02, 0x20, 0x08, 0xF8, 0x01, 0, 0, 0, 20, 0, 0}));
    EXPECT_EQ(next_commands(), (carried{0x5678, 20, 21}));
}

TEST_F(Frames, SequencesWrapToZero) {
    open_link(0xBEEF, 0xFFFFFFFF);
    fake::sg.script = {good({}), good({0, 1, 0, 0, 1, 'x'})};
    EXPECT_EQ(send_tunnel_frame(FD, nullptr, 0, 0, 0, 0), 0);
    unsigned char* payload = nullptr;
    EXPECT_EQ(receive_tunnel_frame(FD, &payload, nullptr, nullptr, nullptr, nullptr), 0);
    std::free(payload);
    ASSERT_EQ(fake::sg.calls.size(), 2u);
    // The empty frame: length 0 and no data.
    EXPECT_EQ(fake::sg.calls[0].cdb, (bytes{0x7F, 0, 0xBE, 0xEF, 0, 0, 0, 0x08, 0xF8, 0x01, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(fake::sg.calls[0].header.dxfer_len, 0u);
    EXPECT_EQ(sequence_of(fake::sg.calls[1].cdb), 0xFFFFFFFFu);
    EXPECT_EQ(next_commands(), (carried{0xBEEF, 0, 0}));
}

struct in_flight_case {
    const char* name;
    std::vector<fake::answer> more_answers;  // for the commands the change issues
    std::function<void()> change;            // null: nothing changes
    carried after;
};

void PrintTo(const in_flight_case& c, std::ostream* os) {
    *os << c.name;
}

class InFlight : public Frames, public ::testing::WithParamInterface<in_flight_case> {};

// The receive advance belongs to the link the command carried; it is dropped when that link
// was cleared or replaced meanwhile, also by a grant that repeats the same values.
TEST_P(InFlight, ReceiveAdvanceIsDroppedWhenTheLinkChanged) {
    const in_flight_case& c = GetParam();
    open_link(0x1234, 7);
    fake::sg.script.push_back(good({0, 4, 0, 0, 1, 'x'}));
    for (const fake::answer& a : c.more_answers)
        fake::sg.script.push_back(a);
    if (c.change)
        fake::sg.during = c.change;
    unsigned char* payload = nullptr;
    int length = 0;
    EXPECT_EQ(receive_tunnel_frame(FD, &payload, &length, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(length, 1);
    std::free(payload);
    EXPECT_EQ(have_host_cookie(), c.after.cookie != 0 ? 1 : 0);
    EXPECT_EQ(next_commands(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, InFlight,
    ::testing::Values(in_flight_case{"NothingChanges", {}, nullptr, {0x1234, 8, 7}},
                      in_flight_case{"Cleared", {}, [] { clear_host_cookie(); }, {0, 7, 7}},
                      in_flight_case{"ClearedAndNewCookie",
                                     {good(cookie_answer(0x5678, 20))},
                                     [] {
                                         clear_host_cookie();
                                         request_host_cookie(FD);
                                     },
                                     {0x5678, 20, 20}},
                      in_flight_case{"ClearedAndSameCookieAgain",
                                     {good(cookie_answer(0x1234, 7))},
                                     [] {
                                         clear_host_cookie();
                                         request_host_cookie(FD);
                                     },
                                     {0x1234, 7, 7}},
                      in_flight_case{"ReplacedWithoutClear",
                                     {good(cookie_answer(0x1234, 7))},
                                     [] { request_host_cookie(FD); },
                                     {0x1234, 7, 7}},
                      in_flight_case{"RefusedRequestChangesNothing",
                                     {good(cookie_answer(0xFFFF, 0))},
                                     [] { request_host_cookie(FD); },
                                     {0x1234, 8, 7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TimePrefix, IsLocalTimeFromTheInjectedClock) {
    const child_outcome outcome = run_isolated([] {
        setenv("TZ", "UTC0", 1);
        tzset();
        clock_seconds = [] { return std::time_t{86400 * 3 + 9 * 3600 + 8 * 60 + 7}; };
        print_time_prefix();
        std::fflush(stdout);
    });
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.out, "09:08:07 ");
}

// The decoders' own bounds: the layer always hands them the whole buffer, a fuzzer will not.
TEST(Decoders, NeverReadPastTheGivenBytes) {
    const bytes frame_answer = {0, 7, 0xE0, 0, 1, 'z'};
    const bytes cookie_answer = {0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 9};
    struct size_case {
        std::size_t size;
        bool decoded;
    };
    for (const size_case& c : {size_case{4, false}, size_case{5, false}, size_case{6, true}}) {
        SCOPED_TRACE(c.size);
        // Each copy is exactly as long as the size given, so a sanitizer sees any overread.
        const bytes given(frame_answer.begin(), frame_answer.begin() + c.size);
        frame_response frame;
        EXPECT_EQ(decode_frame_response(given.data(), given.size(), &frame), c.decoded);
    }
    for (const size_case& c : {size_case{10, false}, size_case{11, true}}) {
        SCOPED_TRACE(c.size);
        const bytes given(cookie_answer.begin(), cookie_answer.begin() + c.size);
        cookie_grant grant;
        EXPECT_EQ(decode_cookie_response(given.data(), given.size(), &grant), c.decoded);
    }
}

}  // namespace
