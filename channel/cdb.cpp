#include "channel/cdb.h"

#include <new>

#include "channel/scsi.h"
#include "ground/fatal.h"

namespace {

constexpr unsigned char VENDOR_OPCODE = 0x7F;
constexpr unsigned char SERVICE_ACTION_HIGH = 0xF8;

enum service_code : unsigned char {
    TUNNEL_RECEIVE = 0,
    TUNNEL_SEND = 1,
    HOSTINFO_SEND = 2,
    HOSTINFO_RECEIVE = 3,
};

// Null when out of memory; callers count a missing block as a failed command.
cdb_block zeroed_block(int size) {
    return cdb_block(new (std::nothrow) unsigned char[size]());
}

cdb_block vendor_block(int size, service_code code) {
    cdb_block block = zeroed_block(size);
    if (block) {
        block[0] = VENDOR_OPCODE;
        block[7] = static_cast<unsigned char>(size - 8);
        block[8] = SERVICE_ACTION_HIGH;
        block[9] = code;
    }
    return block;
}

void put16(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void put32(unsigned char* at, std::uint32_t value) {
    put16(at, value >> 16);
    put16(at + 2, value);
}

}  // namespace

cdb_block build_inquiry_cdb(int length) {
    TOLVA_ASSERT((length & ~0xff) == 0);
    cdb_block block = zeroed_block(6);
    if (block) {
        block[0] = 0x12;
        block[4] = static_cast<unsigned char>(length);
    }
    return block;
}

cdb_block build_hostinfo_cdb(int length, int send) {
    TOLVA_ASSERT((length & ~0xffff) == 0);
    cdb_block block = vendor_block(10, send ? HOSTINFO_SEND : HOSTINFO_RECEIVE);
    if (block)
        put16(&block[2], static_cast<std::uint32_t>(length));
    return block;
}

cdb_block build_tunnel_send_cdb(int length, int open_flag, int close_flag,
                                std::uint16_t connection_id, std::uint16_t cookie,
                                std::uint32_t sequence) {
    TOLVA_ASSERT(length < (1 << 16));
    cdb_block block = vendor_block(16, TUNNEL_SEND);
    if (block) {
        put16(&block[2], cookie);
        put16(&block[4], connection_id);
        block[6] = static_cast<unsigned char>(((open_flag & 1) << 6) | ((close_flag & 1) << 5));
        put32(&block[10], sequence);
        put16(&block[14], static_cast<std::uint32_t>(length));
    }
    return block;
}

cdb_block build_tunnel_receive_cdb(int max_length, std::uint16_t cookie, std::uint32_t sequence) {
    TOLVA_ASSERT(max_length < (1 << 16));
    cdb_block block = vendor_block(14, TUNNEL_RECEIVE);
    if (block) {
        put16(&block[2], cookie);
        put16(&block[4], static_cast<std::uint32_t>(max_length));
        put32(&block[10], sequence);
    }
    return block;
}
