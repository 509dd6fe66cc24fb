// The decoding of the array's answer to a tunnel frame receive.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "channel/tunnel_responses.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A block of the input's own size, so that a read past its end is seen.
    const std::unique_ptr<unsigned char[]> bytes(new unsigned char[size + (size == 0)]);
    std::memcpy(bytes.get(), data, size);

    frame_response frame;
    frame.payload_length = -1;
    const bool decoded = decode_frame_response(bytes.get(), size, &frame);

    const std::size_t length = size >= 5 ? (std::size_t{data[3]} << 8) | data[4] : 0;
    FUZZ_REQUIRE(decoded == (size >= 5 && 5 + length <= size));
    if (!decoded) {
        FUZZ_REQUIRE(frame.payload_length == -1);  // left as it was
        return 0;
    }
    FUZZ_REQUIRE(frame.connection_id == ((data[0] << 8) | data[1]));
    FUZZ_REQUIRE(frame.more == (data[2] >> 7));
    FUZZ_REQUIRE(frame.open == ((data[2] >> 6) & 1));
    FUZZ_REQUIRE(frame.close == ((data[2] >> 5) & 1));
    FUZZ_REQUIRE(frame.payload_length == static_cast<int>(length));
    FUZZ_REQUIRE(frame.payload == bytes.get() + 5);
    FUZZ_REQUIRE(advances_receive_sequence(frame) ==
                 (length != 0 || frame.open == 1 || frame.close == 1));
    return 0;
}
