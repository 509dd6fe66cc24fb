#include "channel/frames.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "channel/cdb.h"
#include "channel/scsi.h"
#include "channel/tunnel_responses.h"
#include "ground/clock.h"
#include "ground/limits.h"
#include "ground/log.h"

namespace {

constexpr std::uint16_t ASK_COOKIE = 0xFFFF;
constexpr std::uint32_t ASK_SEQUENCE = 0xFFFFFFFF;

// The link state. The generation changes with every cookie handed out and every clear, so
// an advance can tell that its link has gone even when a new cookie repeats the old value.
struct link_record {
    std::uint16_t host_cookie = 0;
    std::uint32_t receive_sequence = 0;
    std::uint32_t send_sequence = 0;
    std::uint64_t generation = 0;
};

// Held only to read or update `current_link`: never across a command, never while logging.
std::mutex link_mutex;
link_record current_link;

// What one command carries, and the link it belongs to.
struct link_snapshot {
    std::uint16_t cookie;
    std::uint32_t sequence;
    std::uint64_t generation;
};

link_snapshot send_snapshot() {
    std::lock_guard<std::mutex> hold(link_mutex);
    return {current_link.host_cookie, current_link.send_sequence, current_link.generation};
}

link_snapshot receive_snapshot() {
    std::lock_guard<std::mutex> hold(link_mutex);
    return {current_link.host_cookie, current_link.receive_sequence, current_link.generation};
}

// An advance that belongs to a link cleared or replaced meanwhile would skip a number of
// the new link.
void advance_send(std::uint64_t generation) {
    std::lock_guard<std::mutex> hold(link_mutex);
    if (current_link.generation == generation)
        ++current_link.send_sequence;
}

void advance_receive(std::uint64_t generation) {
    std::lock_guard<std::mutex> hold(link_mutex);
    if (current_link.generation == generation)
        ++current_link.receive_sequence;
}

using response_buffer = std::unique_ptr<unsigned char[]>;

response_buffer new_response_buffer(unsigned char fill) {
    response_buffer buffer(new (std::nothrow) unsigned char[MAX_TRANSFER]);
    if (buffer)
        std::memset(buffer.get(), fill, MAX_TRANSFER);
    return buffer;
}

void write_raw_to_descriptor_zero(const unsigned char* bytes, int size) {
    if (size > 0)
        (void)!::write(0, bytes, static_cast<std::size_t>(size));
}

template <class T>
void put(T* output, T value) {
    if (output)
        *output = value;
}

}  // namespace

int send_tunnel_frame(int fd, const unsigned char* payload, int size, int open, int close,
                      std::uint16_t connection_id) {
    if (dump_frames) {
        std::printf("Sending %d bytes (sequence 0x%08x), bits %d %d\n", size,
                    send_snapshot().sequence, open, close);
        write_raw_to_descriptor_zero(payload, size);
    }
    if (trace_frames) {
        print_time_prefix();
        std::printf("Starting send\n");
    }
    for (;;) {
        const link_snapshot now = send_snapshot();
        cdb_block cdb =
            build_tunnel_send_cdb(size, open, close, connection_id, now.cookie, now.sequence);
        // A block that cannot be allocated counts as a failed attempt.
        const int result = cdb ? generate_scsi_ioctl(fd, 1, cdb.get(),
                                                     const_cast<unsigned char*>(payload), size, 1)
                               : -1;
        cdb.reset();
        if (result == 0) {
            advance_send(now.generation);
            break;
        }
        sleep_seconds(1);
    }
    if (trace_frames) {
        print_time_prefix();
        std::printf("Ending send\n");
    }
    return 0;
}

int receive_tunnel_frame(int fd, unsigned char** payload, int* length, int* open, int* close,
                         std::uint16_t* connection_id) {
    // Zeroed: bytes the device does not send read as an empty frame, never as old memory.
    response_buffer response = new_response_buffer(0);
    const link_snapshot now = receive_snapshot();
    cdb_block cdb;
    if (response)
        cdb = build_tunnel_receive_cdb(MAX_TRANSFER, now.cookie, now.sequence);
    if (trace_frames) {
        print_time_prefix();
        std::printf("Starting receive sequence 0x%08x\n", now.sequence);
    }
    int result = -1;
    if (cdb)
        result = generate_scsi_ioctl(fd, 0, cdb.get(), response.get(), MAX_TRANSFER, 1);

    frame_response frame;
    unsigned char* block = nullptr;
    if (result == 0 && decode_frame_response(response.get(), MAX_TRANSFER, &frame)) {
        // One byte at least, so that an empty payload is a block too.
        block = static_cast<unsigned char*>(std::malloc(
            static_cast<std::size_t>(frame.payload_length > 0 ? frame.payload_length : 1)));
        if (block)
            std::memcpy(block, frame.payload, static_cast<std::size_t>(frame.payload_length));
    }
    if (block == nullptr) {
        *payload = nullptr;
        put(length, 0);
        put(open, 0);
        put(close, 0);
        put(connection_id, std::uint16_t{0});
        cdb.reset();
        response.reset();
        if (trace_frames) {
            print_time_prefix();
            std::printf("Ending receive (1)\n");
        }
        return 0;
    }

    *payload = block;
    put(length, frame.payload_length);
    put(open, frame.open);
    put(close, frame.close);
    put(connection_id, frame.connection_id);
    if (dump_frames && frame.payload_length != 0) {
        print_time_prefix();
        std::printf("Got %d bytes (sequence 0x%04x): ", frame.payload_length, now.sequence);
        write_raw_to_descriptor_zero(block, frame.payload_length);
        std::printf("\n");
    }
    cdb.reset();
    response.reset();
    if (advances_receive_sequence(frame))
        advance_receive(now.generation);
    if (trace_frames) {
        print_time_prefix();
        std::printf("Ending receive (2)\n");
    }
    return frame.more;
}

int request_host_cookie(int fd) {
    // Filled with FF: an answer that moves no data reads as a refusal, not as cookie 0.
    response_buffer response = new_response_buffer(0xFF);
    if (!response)
        return 0;
    cdb_block cdb = build_tunnel_receive_cdb(MAX_TRANSFER, ASK_COOKIE, ASK_SEQUENCE);
    if (!cdb)
        return 0;
    const int result = generate_scsi_ioctl(fd, 0, cdb.get(), response.get(), MAX_TRANSFER, 0);
    cookie_grant grant;
    if (result != 0 || !decode_cookie_response(response.get(), MAX_TRANSFER, &grant))
        return 0;
    {
        std::lock_guard<std::mutex> hold(link_mutex);
        current_link.host_cookie = grant.cookie;
        current_link.receive_sequence = grant.starting_sequence;
        current_link.send_sequence = grant.starting_sequence;
        ++current_link.generation;
    }
    // Formatted here: the log writer leaves a format unexpanded when all its arguments are
    // 0, and cookie 0 with sequence 0 must still show its digits.
    char line[64];
    std::snprintf(line, sizeof line, "Got new host cookie 0x%04x sequence 0x%08x\n",
                  static_cast<unsigned>(grant.cookie), grant.starting_sequence);
    agent_log("%s", line);
    return 1;
}

int have_host_cookie() {
    std::lock_guard<std::mutex> hold(link_mutex);
    return current_link.host_cookie != 0 ? 1 : 0;
}

void clear_host_cookie() {
    std::lock_guard<std::mutex> hold(link_mutex);
    current_link.host_cookie = 0;
    ++current_link.generation;
}

void print_time_prefix() {
    const std::time_t now = clock_seconds();
    std::tm local{};
    char text[16] = "";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%H:%M:%S ", &local);
    std::fputs(text, stdout);
}
