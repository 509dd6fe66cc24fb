// What the cycle makes of a host-view block that the array sent back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "agent/cycle.h"
#include "ground/limits.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The text the cycle must read from a block: up to the first NUL, at most `length - 1`
// characters.
std::string expected_text(const char* block, std::size_t length) {
    return std::string(block, ::strnlen(block, length - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);

    // A block of the input's own size, so that a read past its end is seen.
    const std::unique_ptr<char[]> exact(new char[size + (size == 0)]);
    std::memcpy(exact.get(), bytes, size);
    const int length = size > static_cast<std::size_t>(MAX_TRANSFER) ? 0 : static_cast<int>(size);
    if (terminate_array_view(exact.get(), length)) {
        FUZZ_REQUIRE(length >= 1);
        FUZZ_REQUIRE(std::string(exact.get()) == expected_text(bytes, size));
    } else {
        FUZZ_REQUIRE(length == 0);
    }

    // The block a receive hands over: 65,535 bytes, here filled to the end with the input
    // over and over, as an array that sends no NUL would leave it.
    if (size == 0)
        return 0;
    const std::unique_ptr<char[]> full(new char[MAX_TRANSFER]);
    for (std::size_t done = 0; done < static_cast<std::size_t>(MAX_TRANSFER);) {
        const std::size_t step =
            std::min(done == 0 ? size : done, static_cast<std::size_t>(MAX_TRANSFER) - done);
        std::memcpy(full.get() + done, done == 0 ? bytes : full.get(), step);
        done += step;
    }
    const std::string before(full.get(), MAX_TRANSFER);
    FUZZ_REQUIRE(!terminate_array_view(full.get(), MAX_TRANSFER + 1 + data[0]));
    FUZZ_REQUIRE(std::memcmp(full.get(), before.data(), MAX_TRANSFER) == 0);
    FUZZ_REQUIRE(terminate_array_view(full.get(), MAX_TRANSFER));
    FUZZ_REQUIRE(std::string(full.get()) == expected_text(before.data(), MAX_TRANSFER));
    return 0;
}
