#include "channel/cdb.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/unit/stop_capture.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes contents(const cdb_block& block, std::size_t size) {
    return bytes(block.get(), block.get() + size);
}

struct worked_block {
    const char* name;
    std::function<cdb_block()> build;
    bytes expected;
};

void PrintTo(const worked_block& c, std::ostream* os) {
    *os << c.name;
}

class WorkedBlocks : public ::testing::TestWithParam<worked_block> {};

TEST_P(WorkedBlocks, ComeOutByteForByte) {
    const worked_block& c = GetParam();
    cdb_block block = c.build();
    ASSERT_TRUE(block);
    EXPECT_EQ(contents(block, c.expected.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Builders, WorkedBlocks,
    ::testing::Values(
        worked_block{"Inquiry255", [] { return build_inquiry_cdb(255); }, {0x12, 0, 0, 0, 0xFF, 0}},
        worked_block{"Inquiry0", [] { return build_inquiry_cdb(0); }, {0x12, 0, 0, 0, 0, 0}},
        worked_block{"HostinfoSend1000",
                     [] { return build_hostinfo_cdb(1000, 1); },
                     {0x7F, 0, 0x03, 0xE8, 0, 0, 0, 0x02, 0xF8, 0x02}},
        worked_block{"HostinfoReceive65535",
                     [] { return build_hostinfo_cdb(65535, 0); },
                     {0x7F, 0, 0xFF, 0xFF, 0, 0, 0, 0x02, 0xF8, 0x03}},
        worked_block{"HostinfoSendOnlyNul",
                     [] { return build_hostinfo_cdb(1, 7); },
                     {0x7F, 0, 0, 0x01, 0, 0, 0, 0x02, 0xF8, 0x02}},
        worked_block{
            "TunnelSendClose",
            [] { return build_tunnel_send_cdb(0, 0, 1, 0xABCD, 0x1234, 7); },
            {0x7F, 0, 0x12, 0x34, 0xAB, 0xCD, 0x20, 0x08, 0xF8, 0x01, 0, 0, 0, 0x07, 0, 0}},
        worked_block{
            "TunnelSendOpen300",
            [] { return build_tunnel_send_cdb(300, 1, 0, 0xABCD, 0x1234, 7); },
            {0x7F, 0, 0x12, 0x34, 0xAB, 0xCD, 0x40, 0x08, 0xF8, 0x01, 0, 0, 0, 0x07, 0x01, 0x2C}},
        worked_block{
            "TunnelSendBothFlagsKeepAlive",
            [] { return build_tunnel_send_cdb(32768, 1, 1, 0, 0, 0xFFFFFFFE); },
            {0x7F, 0, 0, 0, 0, 0, 0x60, 0x08, 0xF8, 0x01, 0xFF, 0xFF, 0xFF, 0xFE, 0x80, 0x00}},
        worked_block{"TunnelSendFlagTwoCountsAsZero",
                     [] { return build_tunnel_send_cdb(65535, 2, 3, 1, 1, 1); },
                     {0x7F, 0, 0, 1, 0, 1, 0x20, 0x08, 0xF8, 0x01, 0, 0, 0, 1, 0xFF, 0xFF}},
        worked_block{"TunnelReceive",
                     [] { return build_tunnel_receive_cdb(65535, 0x1234, 5); },
                     {0x7F, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 0x06, 0xF8, 0x00, 0, 0, 0, 0x05}},
        worked_block{
            "CookieRequest",
            [] { return build_tunnel_receive_cdb(65535, 0xFFFF, 0xFFFFFFFF); },
            {0x7F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x06, 0xF8, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

struct bound_case {
    const char* name;
    std::function<void()> build;
    const char* message;  // null when the length is accepted
};

void PrintTo(const bound_case& c, std::ostream* os) {
    *os << c.name;
}

class LengthBounds : public ::testing::TestWithParam<bound_case> {};

TEST_P(LengthBounds, AcceptOrStopWithTheConditionText) {
    const bound_case& c = GetParam();
    const child_outcome outcome = run_isolated(c.build);
    if (c.message == nullptr) {
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exit_status, 0);
        EXPECT_EQ(outcome.out, "");
    } else {
        EXPECT_EQ(outcome.signal, SIGABRT);
        EXPECT_EQ(outcome.out, c.message);
    }
}

constexpr const char* INQUIRY_STOP = "Assertion failed: (length & ~0xff) == 0\n\n";
constexpr const char* HOSTINFO_STOP = "Assertion failed: (length & ~0xffff) == 0\n\n";
constexpr const char* SEND_STOP = "Assertion failed: length < (1 << 16)\n\n";
constexpr const char* RECEIVE_STOP = "Assertion failed: max_length < (1 << 16)\n\n";

INSTANTIATE_TEST_SUITE_P(
    Builders, LengthBounds,
    ::testing::Values(
        bound_case{"Inquiry255", [] { build_inquiry_cdb(255); }, nullptr},
        bound_case{"Inquiry256", [] { build_inquiry_cdb(256); }, INQUIRY_STOP},
        bound_case{"InquiryMinus1", [] { build_inquiry_cdb(-1); }, INQUIRY_STOP},
        bound_case{"Hostinfo0", [] { build_hostinfo_cdb(0, 1); }, nullptr},
        bound_case{"Hostinfo65536", [] { build_hostinfo_cdb(65536, 1); }, HOSTINFO_STOP},
        bound_case{"HostinfoMinus1", [] { build_hostinfo_cdb(-1, 0); }, HOSTINFO_STOP},
        bound_case{"HostinfoMinimum", [] { build_hostinfo_cdb(INT32_MIN, 0); }, HOSTINFO_STOP},
        bound_case{"TunnelSend65536", [] { build_tunnel_send_cdb(65536, 0, 0, 1, 0, 0); },
                   SEND_STOP},
        bound_case{"TunnelReceive65536", [] { build_tunnel_receive_cdb(65536, 0, 0); },
                   RECEIVE_STOP}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Blocks, AreNewForEveryCall) {
    cdb_block first = build_tunnel_receive_cdb(100, 0x0102, 9);
    cdb_block second = build_tunnel_receive_cdb(100, 0x0102, 9);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(contents(first, 14),
              (bytes{0x7F, 0, 0x01, 0x02, 0x00, 0x64, 0, 0x06, 0xF8, 0, 0, 0, 0, 9}));
}

}  // namespace
