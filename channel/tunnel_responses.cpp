#include "channel/tunnel_responses.h"

namespace {

constexpr std::size_t FRAME_HEAD = 5;
constexpr std::size_t COOKIE_ANSWER = 11;
constexpr std::uint16_t NO_COOKIE = 0xFFFF;

std::uint32_t get16(const unsigned char* at) {
    return (static_cast<std::uint32_t>(at[0]) << 8) | at[1];
}

std::uint32_t get32(const unsigned char* at) {
    return (get16(at) << 16) | get16(at + 2);
}

}  // namespace

bool decode_frame_response(const unsigned char* bytes, std::size_t size, frame_response* frame) {
    if (size < FRAME_HEAD)
        return false;
    const std::uint32_t length = get16(bytes + 3);
    if (length > size - FRAME_HEAD)
        return false;
    frame->connection_id = static_cast<std::uint16_t>(get16(bytes));
    frame->more = (bytes[2] >> 7) & 1;
    frame->open = (bytes[2] >> 6) & 1;
    frame->close = (bytes[2] >> 5) & 1;
    frame->payload_length = static_cast<int>(length);
    frame->payload = bytes + FRAME_HEAD;
    return true;
}

bool advances_receive_sequence(const frame_response& frame) {
    return frame.payload_length != 0 || frame.open || frame.close;
}

bool decode_cookie_response(const unsigned char* bytes, std::size_t size, cookie_grant* grant) {
    if (size < COOKIE_ANSWER)
        return false;
    const auto cookie = static_cast<std::uint16_t>(get16(bytes + 5));
    if (cookie == NO_COOKIE)
        return false;
    grant->cookie = cookie;
    grant->starting_sequence = get32(bytes + 7);
    return true;
}
