#include "agent/common.h"

#include <algorithm>
#include <cstring>

const char* hostinfo_script = "/usr/share/zyr/zyr_hostinfo";

bool matches_reversed(const char* array, std::size_t count, const char* string) {
    const std::size_t last = std::strlen(string) - 1;
    const std::size_t middle = std::min(last, count - 1);
    for (std::size_t i = 0; i < middle; ++i) {
        if (array[i] != string[last - i])
            return false;
    }
    for (std::size_t p = last - middle; p >= 1; --p) {
        if (string[p] != array[middle])
            return false;
    }
    return static_cast<signed char>(string[0]) <= static_cast<signed char>(array[middle]);
}
