#include "agent/collect.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ground/log.h"
#include "ground/settings.h"

namespace {

constexpr std::size_t INITIAL_CAPACITY = 0x10000;
constexpr int CHILD_DESCRIPTOR_LIMIT = 1024;

// Runs in the forked child: only async-signal-safe calls, since another thread of the
// daemon may have held the allocator's or the log's lock at the fork.
[[noreturn]] void run_script(const char* script, int write_end) {
    for (int fd = 0; fd < CHILD_DESCRIPTOR_LIMIT; ++fd) {
        if (fd != write_end)
            close(fd);
    }
    if (write_end != STDOUT_FILENO) {
        dup2(write_end, STDOUT_FILENO);
        close(write_end);
    }
    execl(script, script, static_cast<char*>(nullptr));
    _exit(1);
}

void wait_for(pid_t child) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Reads the pipe to its end. Null when the buffer cannot be allocated or grown; what was
// read is then released.
char* read_all(int fd, std::size_t* read_total) {
    std::size_t capacity = INITIAL_CAPACITY;
    std::size_t used = 0;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (!buffer)
        return nullptr;

    for (;;) {
        const ssize_t n = read(fd, buffer + used, capacity - used - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<std::size_t>(n);
        if (used == capacity - 1) {
            char* grown = capacity <= SIZE_MAX / 2
                              ? static_cast<char*>(std::realloc(buffer, capacity * 2))
                              : nullptr;
            if (!grown) {
                std::free(buffer);
                return nullptr;
            }
            buffer = grown;
            capacity *= 2;
        }
    }
    buffer[used] = '\0';
    *read_total = used;
    return buffer;
}

}  // namespace

char* determine_hostinfo(const char* script) {
    int ends[2];
    if (pipe(ends) != 0)
        return nullptr;

    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        agent_log("In determine_hostinfo: Error on fork: %s\n", std::strerror(error));
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    if (child == 0)
        run_script(script, ends[1]);

    close(ends[1]);
    std::size_t used = 0;
    char* output = read_all(ends[0], &used);
    // Closing the read end first lets a script still writing end on EPIPE, so the wait
    // cannot hang after a failed allocation.
    close(ends[0]);
    wait_for(child);

    if (output && used == 0) {
        if (debug_level)
            agent_log("In determine_hostinfo: Script error or Empty output.\n");
        std::free(output);
        return nullptr;
    }
    return output;
}
