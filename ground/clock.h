// The clock and the waits of the tunnel's layers, replaceable so that tests never wait.
#pragma once

#include <ctime>

/// Current calendar time in whole seconds (the C library's time()).
using clock_function = std::time_t (*)();
extern clock_function clock_seconds;

/// Sleeps whole seconds; a signal does not cut the sleep short.
using seconds_sleep_function = void (*)(int seconds);
extern seconds_sleep_function sleep_seconds;

/// Sleeps a number of microseconds, or less when a signal arrives.
using microseconds_sleep_function = void (*)(long microseconds);
extern microseconds_sleep_function sleep_microseconds;

// Replace them only while no second thread runs: the threads read them without a lock.
