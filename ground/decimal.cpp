#include "ground/decimal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

int decimal_int(const char* text, bool* out_of_range) {
    errno = 0;
    // long is 32 bits on i386: strtol itself clamps there and reports ERANGE.
    const long value = std::strtol(text, nullptr, 10);
    const bool clamped = errno == ERANGE || value > INT_MAX || value < INT_MIN;
    if (out_of_range)
        *out_of_range = clamped;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
