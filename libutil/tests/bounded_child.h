// Runs a piece of code in a child process that is killed after a time limit, so that a test of
// something that might block for ever (a read of a FIFO, of /dev/zero) fails instead of hanging.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The child's exit status (0-255), or -1 when it was still running after `limit_ms` (it is
// killed then) or ended by a signal.
inline int run_bounded_child(const std::function<int()> &body, int limit_ms) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body() & 0xFF);
    if (pid < 0)
        return -1;
    int status = 0;
    for (int waited = 0; waited <= limit_ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}
