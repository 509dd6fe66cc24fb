// The decoding of the INQUIRY data that discovery receives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "agent/devices.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool same(const inquiry_identity& a, const inquiry_identity& b) {
    return a.encserv == b.encserv && a.vendor == b.vendor && a.has_serial == b.has_serial &&
           a.serial_field == b.serial_field && a.serial == b.serial;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const inquiry_identity identity = decode_inquiry(data, size);

    FUZZ_REQUIRE(identity.vendor.size() <= 8);
    FUZZ_REQUIRE(identity.vendor.find('\0') == std::string::npos);
    FUZZ_REQUIRE(identity.serial_field.size() <= 12);
    FUZZ_REQUIRE(identity.serial.size() <= 4);
    FUZZ_REQUIRE(identity.has_serial || identity.serial_field.empty());
    // The serial text is the field's end.
    const std::string& field = identity.serial_field;
    FUZZ_REQUIRE(identity.serial.size() == std::min<std::size_t>(field.size(), 4));
    FUZZ_REQUIRE(field.compare(field.size() - identity.serial.size(), std::string::npos,
                               identity.serial) == 0);

    // Data the device did not send reads as the zeros of the cleared buffer.
    std::uint8_t padded[255] = {};
    std::memcpy(padded, data, std::min(size, sizeof padded));
    FUZZ_REQUIRE(same(identity, decode_inquiry(padded, sizeof padded)));
    return 0;
}
