// The decoding of the array's answer to a host cookie request.
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

    cookie_grant grant{0x5A5A, 0xA5A5A5A5};
    const bool granted = decode_cookie_response(bytes.get(), size, &grant);

    const bool refused = size >= 7 && data[5] == 0xFF && data[6] == 0xFF;
    FUZZ_REQUIRE(granted == (size >= 11 && !refused));
    if (!granted) {
        FUZZ_REQUIRE(grant.cookie == 0x5A5A && grant.starting_sequence == 0xA5A5A5A5);
        return 0;
    }
    FUZZ_REQUIRE(grant.cookie == ((data[5] << 8) | data[6]));
    FUZZ_REQUIRE(grant.starting_sequence ==
                 ((std::uint32_t{data[7]} << 24) | (std::uint32_t{data[8]} << 16) |
                  (std::uint32_t{data[9]} << 8) | data[10]));

    // Bytes 0 to 4 have no effect.
    std::memset(bytes.get(), 0, size < 5 ? size : 5);
    cookie_grant again;
    FUZZ_REQUIRE(decode_cookie_response(bytes.get(), size, &again));
    FUZZ_REQUIRE(again.cookie == grant.cookie &&
                 again.starting_sequence == grant.starting_sequence);
    return 0;
}
