#include "ground/clock.h"

#include <sys/select.h>
#include <time.h>

#include <cerrno>

namespace {

std::time_t system_seconds() {
    return ::time(nullptr);
}

void sleep_whole_seconds(int seconds) {
    if (seconds <= 0)
        return;
    timespec remaining{seconds, 0};
    while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

void sleep_microseconds_once(long microseconds) {
    if (microseconds <= 0)
        return;
    timeval timeout{microseconds / 1000000, microseconds % 1000000};
    ::select(0, nullptr, nullptr, nullptr, &timeout);
}

}  // namespace

clock_function clock_seconds = system_seconds;
seconds_sleep_function sleep_seconds = sleep_whole_seconds;
microseconds_sleep_function sleep_microseconds = sleep_microseconds_once;
