#include "sim/tcmu.h"

#include <scsi/sg.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/tcmu_layout.h"

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t ring_off = 256;
constexpr std::uint32_t ring_size = 1024;
constexpr std::size_t data_off = 4096;

template <typename T>
void put(std::uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
T get(const std::uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A mapping laid out as the kernel lays out a TCMU device's: mailbox, ring, data area.
struct fake_ring {
    bytes map = bytes(8192, 0);
    std::uint32_t head = 0;
    std::size_t data_used = 0;
    // Where each command's buffers lie: the answer overwrites the entry's list in place.
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> buffers_of;

    fake_ring() {
        put<std::uint16_t>(&map[TOLVA_TCMU_MB_VERSION], TOLVA_TCMU_MAILBOX_VERSION);
        put<std::uint32_t>(&map[TOLVA_TCMU_MB_CMDR_OFF], ring_off);
        put<std::uint32_t>(&map[TOLVA_TCMU_MB_CMDR_SIZE], ring_size);
    }
    std::uint8_t* entry(std::uint32_t at) { return &map[ring_off + at]; }
    std::uint32_t tail() const { return get<std::uint32_t>(&map[TOLVA_TCMU_MB_CMD_TAIL]); }
    void publish() { put<std::uint32_t>(&map[TOLVA_TCMU_MB_CMD_HEAD], head); }

    void pad_to_end() {
        put<std::uint32_t>(entry(head), (ring_size - head) | TOLVA_TCMU_OP_PAD);
        head = 0;
    }
    // Queues a command whose data lies in buffers of the given sizes; returns its entry.
    std::uint32_t command(const bytes& cdb, const std::vector<std::size_t>& buffers,
                          const bytes& data_out = {}) {
        const std::uint32_t at = head;
        const std::size_t cdb_at = data_off + data_used;
        std::memcpy(&map[cdb_at], cdb.data(), cdb.size());
        data_used += 32;
        const std::uint32_t length =
            TOLVA_TCMU_ENTRY_SIZE + static_cast<std::uint32_t>(buffers.size()) * 16;
        put<std::uint32_t>(entry(at), length | TOLVA_TCMU_OP_CMD);
        put<std::uint32_t>(entry(at) + TOLVA_TCMU_REQ_IOV_CNT,
                           static_cast<std::uint32_t>(buffers.size()));
        put<std::uint64_t>(entry(at) + TOLVA_TCMU_REQ_CDB_OFF, cdb_at);
        std::size_t out = 0;
        buffers_of.emplace_back();
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            const std::size_t buffer_at = data_off + data_used;
            for (std::size_t k = 0; k < buffers[i]; ++k)
                map[buffer_at + k] = out < data_out.size() ? data_out[out++] : 0xEE;  // stale
            put<std::uint64_t>(entry(at) + TOLVA_TCMU_REQ_IOV + i * 16, buffer_at);
            put<std::uint64_t>(entry(at) + TOLVA_TCMU_REQ_IOV + i * 16 + 8, buffers[i]);
            buffers_of.back().emplace_back(buffer_at, buffers[i]);
            data_used += buffers[i] + 8;  // buffers that are not adjacent
        }
        head += length;
        return at;
    }
    // Buffer `index` of the command queued `nth` (from 0).
    bytes buffer(std::size_t nth, std::size_t index) const {
        const auto [offset, length] = buffers_of[nth][index];
        return bytes(map.begin() + static_cast<long>(offset),
                     map.begin() + static_cast<long>(offset + length));
    }
};

struct seen {
    bytes cdb;
    unsigned length = 0;
    bytes data_out;
};

sim::tcmu::handler answer_with(std::vector<seen>& calls, sim::tcmu::reply reply) {
    return [&calls, reply](const bytes& cdb, unsigned length, const bytes& out) {
        calls.push_back({cdb, length, out});
        return reply;
    };
}

const bytes send_cdb = {0x7F, 0, 0, 5, 0, 0, 0, 2, 0xF8, 2};
const bytes receive_cdb = {0x7F, 0, 0, 16, 0, 0, 0, 2, 0xF8, 3};

TEST(TcmuRing, DataOutInSeveralBuffersReachesTheArrayWhole) {
    fake_ring ring;
    const std::uint32_t at = ring.command(send_cdb, {2, 3}, {'a', 'b', 'c', 'd', 0});
    ring.publish();
    std::vector<seen> calls;
    EXPECT_EQ(sim::tcmu::serve_ring(ring.map.data(), ring.map.size(), answer_with(calls, {})), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cdb, send_cdb);
    EXPECT_EQ(calls[0].length, 5u);
    EXPECT_EQ(calls[0].data_out, (bytes{'a', 'b', 'c', 'd', 0}));
    EXPECT_EQ(ring.tail(), ring.head);
    EXPECT_EQ(ring.entry(at)[TOLVA_TCMU_RSP_STATUS], 0);
    EXPECT_EQ(ring.entry(at)[TOLVA_TCMU_HDR_UFLAGS] & TOLVA_TCMU_UFLAG_READ_LEN, 0);
}

TEST(TcmuRing, ShortDataInIsSpreadOverTheBuffersAndItsLengthReported) {
    fake_ring ring;
    const std::uint32_t at = ring.command(receive_cdb, {4, 12});
    ring.publish();
    std::vector<seen> calls;
    sim::tcmu::reply r;
    r.data_in = {1, 2, 3, 4, 5, 6};
    r.short_read = true;
    EXPECT_EQ(sim::tcmu::serve_ring(ring.map.data(), ring.map.size(), answer_with(calls, r)), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].data_out.empty());  // a receive's buffers hold nothing to send
    EXPECT_EQ(ring.buffer(0, 0), (bytes{1, 2, 3, 4}));
    EXPECT_EQ(ring.buffer(0, 1), (bytes{5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_NE(ring.entry(at)[TOLVA_TCMU_HDR_UFLAGS] & TOLVA_TCMU_UFLAG_READ_LEN, 0);
    EXPECT_EQ(get<std::uint32_t>(ring.entry(at) + TOLVA_TCMU_RSP_READ_LEN), 6u);
}

TEST(TcmuRing, PaddingAtTheEndIsSkippedAndTheRingWraps) {
    fake_ring ring;
    ring.head = ring_size - 64;
    put<std::uint32_t>(&ring.map[TOLVA_TCMU_MB_CMD_TAIL], ring.head);
    ring.pad_to_end();
    const std::uint32_t at = ring.command(receive_cdb, {16});
    ring.publish();
    std::vector<seen> calls;
    sim::tcmu::reply r;
    r.status = 0x02;
    r.sense = {0x70, 0, 0x05};
    EXPECT_EQ(sim::tcmu::serve_ring(ring.map.data(), ring.map.size(), answer_with(calls, r)), 1);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(ring.tail(), ring.head);
    EXPECT_EQ(ring.entry(at)[TOLVA_TCMU_RSP_STATUS], 0x02);
    EXPECT_EQ(ring.entry(at)[TOLVA_TCMU_RSP_SENSE + 2], 0x05);
    EXPECT_EQ(ring.buffer(0, 0), bytes(16, 0));  // no stale byte goes back
}

TEST(TcmuRing, MalformedEntriesStopTheServer) {
    struct row {
        const char* what;
        void (*spoil)(fake_ring&, std::uint32_t);
    };
    const row rows[] = {
        {"zero length", [](fake_ring& f, std::uint32_t at) { put<std::uint32_t>(f.entry(at), 1); }},
        {"buffer outside the mapping",
         [](fake_ring& f, std::uint32_t at) {
             put<std::uint64_t>(f.entry(at) + TOLVA_TCMU_REQ_IOV, f.map.size() - 2);
         }},
        {"command block outside the mapping",
         [](fake_ring& f, std::uint32_t at) {
             put<std::uint64_t>(f.entry(at) + TOLVA_TCMU_REQ_CDB_OFF, f.map.size());
         }},
        {"more buffers than the entry holds",
         [](fake_ring& f, std::uint32_t at) {
             put<std::uint32_t>(f.entry(at) + TOLVA_TCMU_REQ_IOV_CNT, 1000);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_ring ring;
        const std::uint32_t at = ring.command(send_cdb, {5});
        ring.publish();
        r.spoil(ring, at);
        std::vector<seen> calls;
        EXPECT_EQ(sim::tcmu::serve_ring(ring.map.data(), ring.map.size(), answer_with(calls, {})),
                  -1);
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(ring.tail(), 0u);
    }
}

TEST(TcmuCommands, LengthAndDirectionFollowTheCommandBlock) {
    struct row {
        bytes cdb;
        std::size_t length;
        int direction;
    };
    const row rows[] = {
        {{0x12, 0, 0, 0, 0xFF, 0}, 6, SG_DXFER_FROM_DEV},
        {send_cdb, 10, SG_DXFER_TO_DEV},
        {receive_cdb, 10, SG_DXFER_FROM_DEV},
        {{0x7F, 0, 0, 0, 0, 0, 0, 8, 0xF8, 1, 0, 0, 0, 0, 0, 0}, 16, SG_DXFER_TO_DEV},
        {{0x7F, 0, 0, 0, 0, 0, 0, 6, 0xF8, 0, 0, 0, 0, 0}, 14, SG_DXFER_FROM_DEV},
        {{0x7F, 0, 0, 0, 0, 0, 0, 2, 0xF8, 9}, 10, SG_DXFER_NONE},
        {{0x7F, 0, 0, 0, 0, 0, 0, 2, 0xF7, 2}, 10, SG_DXFER_NONE},
        {{0x00, 0, 0, 0, 0, 0}, 6, SG_DXFER_NONE},
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10, SG_DXFER_NONE},
        {{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 12, SG_DXFER_NONE},
        {{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 16, SG_DXFER_NONE},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.cdb[0]));
        EXPECT_EQ(sim::tcmu::cdb_length(r.cdb.data()), r.length);
        EXPECT_EQ(sim::tcmu::direction_of(r.cdb), r.direction);
    }
}

TEST(TcmuCommands, AnswersTheRingCannotCarryAreMapped) {
    sim::answer none;  // GOOD, no data
    sim::tcmu::reply r = sim::tcmu::to_reply(none, SG_DXFER_FROM_DEV, 100);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data_in, bytes{0});
    EXPECT_TRUE(r.short_read);

    sim::answer failed;
    failed.entry.ioctl_result = -1;
    r = sim::tcmu::to_reply(failed, SG_DXFER_FROM_DEV, 100);
    EXPECT_EQ(r.status, 0x02);
    ASSERT_GE(r.sense.size(), 13u);
    EXPECT_EQ(r.sense[2], 0x04);  // HARDWARE ERROR
    EXPECT_TRUE(r.data_in.empty());

    sim::answer busy;
    busy.entry.status = 0x08;
    busy.data_in = {1, 2};
    r = sim::tcmu::to_reply(busy, SG_DXFER_FROM_DEV, 100);
    EXPECT_EQ(r.status, 0x08);
    EXPECT_TRUE(r.data_in.empty());
    EXPECT_FALSE(r.short_read);

    sim::answer full;
    full.data_in = bytes(300, 7);
    r = sim::tcmu::to_reply(full, SG_DXFER_FROM_DEV, 255);
    EXPECT_EQ(r.data_in.size(), 255u);
    EXPECT_FALSE(r.short_read);
}

}  // namespace
