// Runs a piece of a test in a child process and collects what it wrote.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct child_result {
    bool exited = false;  // ended by exit, not by a signal
    int status = -1;      // its exit status, when it exited
    std::string output;   // what it wrote to standard error (and standard
                          // output, when asked for)
};

// Runs `body` in a forked child whose standard error (and, with
// `with_stdout`, standard output) goes into a pipe; the child's exit status
// is body's return value, unless body exits or execs by itself.
template <class Body>
child_result in_child(Body body, bool with_stdout = false) {
    child_result r;
    int fds[2];
    if (pipe(fds) != 0) {
        r.output = std::string("pipe failed: ") + strerror(errno);
        return r;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        // No child to wait for: say why, rather than reap someone else's.
        r.output = std::string("fork failed: ") + strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    if (pid == 0) {
        close(fds[0]);
        if (with_stdout) dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[1]);
        int status = body();
        fflush(nullptr);
        _exit(status);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) r.output.append(buf, (size_t)got);
    close(fds[0]);
    int status;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        r.exited = true;
        r.status = WEXITSTATUS(status);
    }
    return r;
}
