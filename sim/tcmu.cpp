#include "sim/tcmu.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cstring>

#include "sim/tcmu_layout.h"

namespace sim::tcmu {

namespace {

constexpr std::uint8_t inquiry_opcode = 0x12;
constexpr std::uint8_t vendor_opcode = 0x7F;
constexpr std::uint8_t vendor_service_high = 0xF8;
constexpr std::uint8_t status_good = 0x00;
constexpr std::uint8_t status_check_condition = 0x02;

// A ring entry's fields as we read them before the answer overwrites them in place.
struct request_view {
    std::vector<std::uint8_t> cdb;
    std::vector<std::pair<std::size_t, std::size_t>> iov;  // offset into the mapping, length
    unsigned data_length = 0;
};

// The kernel moves the head and reads the tail while we work.
std::uint32_t load(const std::uint8_t* at) {
    return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(at), __ATOMIC_ACQUIRE);
}

void store(std::uint8_t* at, std::uint32_t value) {
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(at), value, __ATOMIC_RELEASE);
}

template <typename T>
T get(const std::uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void put(std::uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

bool within(std::size_t offset, std::size_t length, std::size_t size) {
    return offset <= size && length <= size - offset;
}

// Reads the command block and the data buffers of one entry; false when they point outside
// the mapping.
bool read_request(const std::uint8_t* entry, std::size_t entry_room, const std::uint8_t* map,
                  std::size_t size, request_view& out) {
    const auto cdb_off = get<std::uint64_t>(entry + TOLVA_TCMU_REQ_CDB_OFF);
    if (cdb_off >= size)
        return false;
    // The length lives in the block itself (byte 7 of a variable-length block).
    if (map[cdb_off] == vendor_opcode && !within(cdb_off, 8, size))
        return false;
    const std::size_t cdb_len = cdb_length(map + cdb_off);
    if (!within(cdb_off, cdb_len, size))
        return false;
    out.cdb.assign(map + cdb_off, map + cdb_off + cdb_len);

    const auto count = get<std::uint32_t>(entry + TOLVA_TCMU_REQ_IOV_CNT);
    if (count > (entry_room - TOLVA_TCMU_REQ_IOV) / TOLVA_TCMU_IOV_SIZE)
        return false;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* v = entry + TOLVA_TCMU_REQ_IOV + i * TOLVA_TCMU_IOV_SIZE;
        const auto offset = get<std::uint64_t>(v);
        const auto length = get<std::uint64_t>(v + 8);
        if (offset > size || length > size - offset)
            return false;
        out.iov.emplace_back(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
        total += length;
    }
    if (total > 0xFFFFFFFFu)
        return false;
    out.data_length = static_cast<unsigned>(total);
    return true;
}

std::vector<std::uint8_t> gather(const request_view& request, const std::uint8_t* map) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(request.data_length);
    for (const auto& [offset, length] : request.iov)
        bytes.insert(bytes.end(), map + offset, map + offset + length);
    return bytes;
}

// Writes the data-in bytes into the buffers and zeroes the rest, so that what the kernel
// copies beyond them is never a stale byte of an earlier command.
void scatter(const request_view& request, std::uint8_t* map, const std::vector<std::uint8_t>& in) {
    std::size_t done = 0;
    for (const auto& [offset, length] : request.iov) {
        const std::size_t n = std::min(length, in.size() - std::min(done, in.size()));
        if (n > 0)
            std::memcpy(map + offset, in.data() + done, n);
        std::memset(map + offset + n, 0, length - n);
        done += n;
    }
}

void write_reply(std::uint8_t* entry, const reply& r) {
    entry[TOLVA_TCMU_RSP_STATUS] = r.status;
    std::memset(entry + TOLVA_TCMU_RSP_SENSE, 0, TOLVA_TCMU_SENSE_SIZE);
    // An empty vector's data() may be null, which memcpy must not get even for 0 bytes.
    if (!r.sense.empty())
        std::memcpy(entry + TOLVA_TCMU_RSP_SENSE, r.sense.data(),
                    std::min<std::size_t>(r.sense.size(), TOLVA_TCMU_SENSE_SIZE));
    if (r.short_read) {
        entry[TOLVA_TCMU_HDR_UFLAGS] |= TOLVA_TCMU_UFLAG_READ_LEN;
        put<std::uint32_t>(entry + TOLVA_TCMU_RSP_READ_LEN,
                           static_cast<std::uint32_t>(r.data_in.size()));
    }
}

}  // namespace

std::size_t cdb_length(const std::uint8_t* cdb) {
    if (cdb[0] == vendor_opcode)
        return static_cast<std::size_t>(cdb[7]) + 8;
    static constexpr std::size_t by_group[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    return by_group[(cdb[0] >> 5) & 7];
}

int direction_of(const std::vector<std::uint8_t>& cdb) {
    if (cdb.empty())
        return SG_DXFER_NONE;
    if (cdb[0] == inquiry_opcode)
        return SG_DXFER_FROM_DEV;
    if (cdb[0] == vendor_opcode && cdb.size() >= 10 && cdb[8] == vendor_service_high) {
        switch (cdb[9]) {
            case 0:  // tunnel frame receive
            case 3:  // host view receive
                return SG_DXFER_FROM_DEV;
            case 1:  // tunnel frame send
            case 2:  // host view send
                return SG_DXFER_TO_DEV;
            default:
                break;
        }
    }
    return SG_DXFER_NONE;
}

command to_command(const std::string& enclosure, const std::vector<std::uint8_t>& cdb,
                   unsigned data_length, const std::vector<std::uint8_t>& data_out) {
    command c;
    c.enclosure = enclosure;
    // Only a header with 'S' gets past the driver; the rest of it never reaches the target.
    c.interface_id = 'S';
    c.dxfer_direction = direction_of(cdb);
    c.cmd_len = static_cast<unsigned>(cdb.size());
    c.dxfer_len = data_length;
    c.cdb = cdb;
    if (c.dxfer_direction == SG_DXFER_TO_DEV)
        c.data_out = data_out;
    return c;
}

reply to_reply(const answer& a, int direction, unsigned data_length) {
    reply r;
    if (a.entry.ioctl_result != 0) {
        // A device cannot make the driver's ioctl fail: the nearest it can say is that it
        // failed the command.
        r.status = status_check_condition;
        r.sense = {0x70, 0, 0x04, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x44, 0, 0, 0, 0, 0};
        return r;
    }
    r.status = a.entry.status;
    r.sense = a.entry.sense;
    if (direction == SG_DXFER_FROM_DEV && r.status == status_good) {
        r.data_in.assign(a.data_in.begin(),
                         a.data_in.begin() + std::min<std::size_t>(a.data_in.size(), data_length));
        // The kernel takes a read length of 0 for the whole buffer; one zero byte is the
        // nearest it carries to "no data".
        if (r.data_in.empty() && data_length > 0)
            r.data_in.push_back(0);
        r.short_read = r.data_in.size() < data_length;
    }
    return r;
}

int serve_ring(std::uint8_t* map, std::size_t size, const handler& answer) {
    if (size < TOLVA_TCMU_MB_SIZE)
        return -1;
    const auto ring_off = get<std::uint32_t>(map + TOLVA_TCMU_MB_CMDR_OFF);
    const auto ring_size = get<std::uint32_t>(map + TOLVA_TCMU_MB_CMDR_SIZE);
    if (ring_size == 0 || !within(ring_off, ring_size, size))
        return -1;
    std::uint8_t* ring = map + ring_off;
    std::uint32_t tail = load(map + TOLVA_TCMU_MB_CMD_TAIL);
    const std::uint32_t head = load(map + TOLVA_TCMU_MB_CMD_HEAD);
    int answered = 0;
    while (tail != head) {
        if (tail >= ring_size || ring_size - tail < TOLVA_TCMU_HDR_SIZE)
            return -1;
        std::uint8_t* entry = ring + tail;
        const auto len_op = get<std::uint32_t>(entry + TOLVA_TCMU_HDR_LEN_OP);
        const std::uint32_t length = len_op & ~std::uint32_t{TOLVA_TCMU_OP_MASK};
        if (length == 0 || length > ring_size - tail)
            return -1;
        switch (len_op & TOLVA_TCMU_OP_MASK) {
            case TOLVA_TCMU_OP_PAD:
                break;
            case TOLVA_TCMU_OP_CMD: {
                if (length < TOLVA_TCMU_ENTRY_SIZE)
                    return -1;
                request_view request;
                if (!read_request(entry, length, map, size, request))
                    return -1;
                const int direction = direction_of(request.cdb);
                const reply r = answer(request.cdb, request.data_length,
                                       direction == SG_DXFER_TO_DEV ? gather(request, map)
                                                                    : std::vector<std::uint8_t>{});
                if (direction == SG_DXFER_FROM_DEV)
                    scatter(request, map, r.data_in);
                write_reply(entry, r);
                ++answered;
                break;
            }
            default:
                entry[TOLVA_TCMU_HDR_UFLAGS] |= TOLVA_TCMU_UFLAG_UNKNOWN_OP;
                break;
        }
        tail = (tail + length) % ring_size;
        store(map + TOLVA_TCMU_MB_CMD_TAIL, tail);
    }
    return answered;
}

}  // namespace sim::tcmu
