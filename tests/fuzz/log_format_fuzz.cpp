// The log writer's message formatter over any format and arguments.
//
// Input: one byte of argument kinds (bit i: argument i is a text, bit i + 3: that text is
// null), three 32-bit integers, then the format up to a NUL and the text that the text
// arguments show.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ground/log.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t HEADER = 13;
    std::uint8_t header[HEADER] = {};
    std::memcpy(header, data, size < HEADER ? size : HEADER);
    const std::string rest =
        size > HEADER ? std::string(reinterpret_cast<const char*>(data) + HEADER, size - HEADER)
                      : std::string();
    const std::string format = rest.substr(0, rest.find('\0'));
    const std::string text =
        format.size() < rest.size() ? rest.substr(format.size() + 1) : std::string();

    log_arg args[3];
    for (int i = 0; i < 3; ++i) {
        std::uint32_t value = 0;
        for (int b = 3; b >= 0; --b)
            value = value << 8 | header[1 + 4 * i + b];
        if (header[0] & (1u << (i + 3)))
            args[i] = log_arg(static_cast<const char*>(nullptr));
        else if (header[0] & (1u << i))
            args[i] = log_arg(text.c_str());
        else
            args[i] = log_arg(static_cast<int>(value));
    }

    const std::string message = format_log_message(format.c_str(), args[0], args[1], args[2]);
    // Nothing to expand: the format stands as it is.
    if (format.find('%') == std::string::npos)
        FUZZ_REQUIRE(message == format);
    return 0;
}
