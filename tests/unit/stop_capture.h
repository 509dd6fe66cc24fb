// Runs code that may reach fatal_stop in a forked child with a process group of its own,
// so that its SIGABRT cannot reach the test runner, and captures the child's stdout.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct child_outcome {
    int signal = 0;        ///< terminating signal, 0 when it exited
    int exit_status = -1;  ///< exit status when it exited
    std::string out;
};

template <class Function>
child_outcome run_isolated(Function function) {
    child_outcome outcome;
    int ends[2];
    if (pipe(ends) != 0)
        return outcome;
    const pid_t child = fork();
    if (child < 0)
        return outcome;
    if (child == 0) {
        setpgid(0, 0);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        function();
        _exit(0);
    }
    setpgid(child, child);
    close(ends[1]);
    char chunk[4096];
    ssize_t n;
    while ((n = read(ends[0], chunk, sizeof chunk)) > 0)
        outcome.out.append(chunk, n);
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    if (WIFEXITED(status))
        outcome.exit_status = WEXITSTATUS(status);
    return outcome;
}
