// Decoding of the array's answers to a tunnel frame receive and to a host cookie request.
// Pure functions over the response bytes; they never read past `size`.
#pragma once

#include <cstddef>
#include <cstdint>

/// One tunnel frame as a frame receive's response carries it.
struct frame_response {
    std::uint16_t connection_id = 0;
    int more = 0;   ///< 1 when further frames are waiting
    int open = 0;   ///< 0 or 1
    int close = 0;  ///< 0 or 1
    int payload_length = 0;
    const unsigned char* payload = nullptr;  ///< points into the response bytes
};

/// Reads the frame from `size` response bytes. False, leaving `*frame` as it was, when the
/// bytes are shorter than the 5-byte head or the length field describes more payload than
/// follows the head.
bool decode_frame_response(const unsigned char* bytes, std::size_t size, frame_response* frame);

/// True when the frame moves the receive sequence on: it carries payload, or the open or
/// the close flag. The more flag alone does not.
bool advances_receive_sequence(const frame_response& frame);

/// What a host cookie response hands out.
struct cookie_grant {
    std::uint16_t cookie = 0;
    std::uint32_t starting_sequence = 0;  ///< both sequences start here
};

/// Reads the cookie and the starting sequence from `size` response bytes. False, leaving
/// `*grant` as it was, when the array handed out no cookie (FF FF) or the bytes are shorter
/// than the 11 the answer needs.
bool decode_cookie_response(const unsigned char* bytes, std::size_t size, cookie_grant* grant);
