// The stop on a broken internal invariant.
#pragma once

/// Writes `message` and a newline on standard output, sends SIGABRT to the process group,
/// then sleeps for ever.
[[noreturn]] void fatal_stop(const char* message);

#define TOLVA_ASSERT(condition)                               \
    do {                                                      \
        if (!(condition))                                     \
            fatal_stop("Assertion failed: " #condition "\n"); \
    } while (0)
