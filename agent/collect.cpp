#include "agent/collect.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
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

// Runs in the forked child: only async-signal-safe calls, since another thread of the
// daemon may have held the allocator's or the log's lock at the fork. SIGTERM arrives
// blocked; the daemon's handler (which removes its pid file) must never run here.
[[noreturn]] void run_script(const char* script, int write_end, const sigset_t& mask,
                             int descriptor_limit) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGTERM, &default_action, nullptr);
    sigprocmask(SIG_SETMASK, &mask, nullptr);

    if (write_end != STDOUT_FILENO) {
        dup2(write_end, STDOUT_FILENO);
        close(write_end);
    }
    close(STDIN_FILENO);
    close(STDERR_FILENO);
    // The tunnel's sockets may lie above any fixed bound.
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < descriptor_limit; ++fd)
            close(fd);
    }
    execl(script, script, static_cast<char*>(nullptr));
    _exit(1);
}

// Highest descriptor number the process may hold, plus one; read before the fork.
int descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > 1u << 20)
        return 1 << 20;
    return static_cast<int>(limit.rlim_cur);
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

    // SIGTERM stays blocked from before the fork until the child has dropped the handler.
    const int limit = descriptor_limit();
    sigset_t term, mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &mask);
    const pid_t child = fork();
    if (child == 0)
        run_script(script, ends[1], mask, limit);
    const int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (child < 0) {
        const int error = fork_error;
        agent_log("In determine_hostinfo: Error on fork: %s\n", std::strerror(error));
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }

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
