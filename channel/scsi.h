// SCSI generic command execution and the stop on a broken invariant.
#pragma once

/// Runs one command block on an open sg descriptor. Result: the ioctl result ORed with the
/// SCSI status shifted left by 16: 0, -1 (ioctl failed) or positive (status other than GOOD).
int generate_scsi_ioctl(int fd, int to_device, const unsigned char* cdb, void* data, int length,
                        int quiet);

/// Writes `message` and a newline on standard output, sends SIGABRT to the process group,
/// then sleeps for ever.
[[noreturn]] void fatal_stop(const char* message);

#define TOLVA_ASSERT(condition)                               \
    do {                                                      \
        if (!(condition))                                     \
            fatal_stop("Assertion failed: " #condition "\n"); \
    } while (0)
