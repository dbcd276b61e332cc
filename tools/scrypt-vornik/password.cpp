// The password from standard input or the terminal.
//
// While echo is off, the signals that end or stop the program from the
// keyboard or the session (SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP) are
// caught: the handler gives the terminal its modes back and then lets the
// signal take its default action, so the shell finds the terminal as it
// left it.  After a stop (SIGTSTP) and a continue, echo goes off again.
#include "password.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int caught_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP};

// The terminal whose modes are changed, and its modes before and during the
// prompt; read by the signal handler.
volatile sig_atomic_t terminal_fd = -1;
struct termios saved_modes, quiet_modes;

void restore_terminal() {
    if (terminal_fd >= 0) tcsetattr(terminal_fd, TCSAFLUSH, &saved_modes);
}

void on_signal(int sig) {
    const int saved_errno = errno;
    restore_terminal();
    // The default action, now: ends the program (or stops it, for SIGTSTP).
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    // Only a stop comes back here, after SIGCONT: echo off again.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
    if (terminal_fd >= 0) tcsetattr(terminal_fd, TCSAFLUSH, &quiet_modes);
    errno = saved_errno;
}

// The handlers for the prompt, and the ones they replace.
struct signal_guard {
    struct sigaction old[sizeof caught_signals / sizeof caught_signals[0]];
    signal_guard() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        for (int s : caught_signals) sigaddset(&sa.sa_mask, s);
        for (size_t i = 0; i < sizeof caught_signals / sizeof caught_signals[0]; i++)
            sigaction(caught_signals[i], &sa, &old[i]);
    }
    ~signal_guard() {
        for (size_t i = 0; i < sizeof caught_signals / sizeof caught_signals[0]; i++)
            sigaction(caught_signals[i], &old[i], nullptr);
    }
};

// Appends bytes from `fd` to `out` up to the first newline (not kept) or the
// end of input.  Reads in blocks straight into the secret's buffer, so no
// other copy of the password is made.
password_status read_line(int fd, secret &out) {
    for (;;) {
        if (!out.reserve(1)) return PASSWORD_NO_MEMORY;
        const ssize_t got = read(fd, out.data + out.len, out.cap - out.len);
        if (got < 0) {
            if (errno == EINTR) continue;
            return PASSWORD_READ_ERROR;
        }
        if (got == 0) return PASSWORD_OK;
        const void *newline = memchr(out.data + out.len, '\n', size_t(got));
        if (newline != nullptr) {
            const size_t kept = size_t(static_cast<const uint8_t *>(newline) - out.data);
            wipe(out.data + kept, out.len + size_t(got) - kept);
            out.len = kept;
            return PASSWORD_OK;
        }
        out.len += size_t(got);
    }
}

void say(int fd, const char *text) {
    size_t left = strlen(text);
    while (left > 0) {
        const ssize_t put = write(fd, text, left);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // the prompt is a courtesy; reading goes on
        text += put;
        left -= size_t(put);
    }
}

// One entry at the terminal `fd`, the prompt written to `prompt_fd`.
password_status ask(int fd, int prompt_fd, const char *prompt, secret &out) {
    say(prompt_fd, prompt);
    const password_status status = read_line(fd, out);
    say(prompt_fd, "\n");  // the newline typed was not echoed
    return status;
}

password_status read_at_terminal(secret &out, bool twice) {
    const int fd = STDIN_FILENO;
    // The prompt goes to the terminal itself, whatever standard error is.
    int prompt_fd = open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
    const bool own_prompt_fd = prompt_fd >= 0;
    if (!own_prompt_fd) prompt_fd = STDERR_FILENO;

    password_status status = PASSWORD_OK;
    {
        signal_guard guard;
        if (tcgetattr(fd, &saved_modes) != 0) {
            status = PASSWORD_READ_ERROR;
        } else {
            quiet_modes = saved_modes;
            quiet_modes.c_lflag &= ~tcflag_t(ECHO);
            terminal_fd = fd;
            if (tcsetattr(fd, TCSAFLUSH, &quiet_modes) != 0) status = PASSWORD_READ_ERROR;
        }
        if (status == PASSWORD_OK) status = ask(fd, prompt_fd, "Password: ", out);
        if (status == PASSWORD_OK && twice) {
            secret again;
            status = ask(fd, prompt_fd, "Password again: ", again);
            if (status == PASSWORD_OK && !same_secret(out, again)) status = PASSWORD_MISMATCH;
        }
        const int saved_errno = errno;
        restore_terminal();
        terminal_fd = -1;
        errno = saved_errno;
    }
    if (own_prompt_fd) close(prompt_fd);
    if (status != PASSWORD_OK) out.clear();
    return status;
}

}  // namespace

password_status read_password(secret &out, bool twice) {
    if (isatty(STDIN_FILENO)) return read_at_terminal(out, twice);
    return read_line(STDIN_FILENO, out);
}
