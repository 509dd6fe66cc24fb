#include "ground/fatal.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

void fatal_stop(const char* message) {
    std::printf("%s\n", message);
    // Standard output may be a pipe or file in tests; the text must be out before the signal.
    std::fflush(stdout);
    kill(0, SIGABRT);
    for (;;)
        sleep(1);
}
