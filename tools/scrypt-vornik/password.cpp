// The password from standard input or the terminal.
//
// While echo is off, every signal that would end the program, and the stop
// from the keyboard (SIGTSTP), is caught, unless it was ignored when the
// prompt began (an ignored signal stays ignored).  The handler gives the
// terminal its modes back and raises the signal again with the disposition
// it had before the prompt, so the shell finds the terminal as it left it.
// A stop comes back to the handler on continue: echo goes off again, and
// the entry starts afresh with its prompt shown again, since the terminal
// dropped what was typed before the stop.
//
// The handled signals are blocked throughout, except while waiting for
// input (ppoll() with the caller's mask): the handler never runs while the
// terminal's modes or the entry are being changed.
#include "password.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal whose modes are changed, and its modes before and during the
// prompt; read by the signal handler.
volatile sig_atomic_t terminal_fd = -1;
struct termios saved_modes, quiet_modes;
// Set by the handler when the program was stopped and continued.
volatile sig_atomic_t entry_restarts = 0;
// The dispositions replaced by the handler, by signal number.
struct sigaction previous[NSIG];

void restore_terminal() {
    if (terminal_fd >= 0) tcsetattr(terminal_fd, TCSAFLUSH, &saved_modes);
}

// The signals caught at the prompt: those whose default action ends the
// program, and SIGTSTP.  Not SIGTTIN and SIGTTOU, which stop a program
// reading or setting a terminal from the background, and not the signals
// the C library keeps for itself (between 32 and SIGRTMIN).
bool caught_at_prompt(int sig) {
    switch (sig) {
        case SIGKILL:
        case SIGSTOP:
        case SIGCHLD:
        case SIGCONT:
        case SIGURG:
        case SIGWINCH:
        case SIGTTIN:
        case SIGTTOU:
            return false;
    }
    return sig < 32 || (sig >= SIGRTMIN && sig <= SIGRTMAX);
}

void on_signal(int sig) {
    const int saved_errno = errno;
    restore_terminal();
    // The disposition from before the prompt (the default: the program
    // ends, or stops for SIGTSTP), now.
    struct sigaction ours;
    sigaction(sig, &previous[sig], &ours);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    // Back here after a stop and a continue: echo off again, a new entry.
    sigaction(sig, &ours, nullptr);
    if (terminal_fd >= 0) tcsetattr(terminal_fd, TCSAFLUSH, &quiet_modes);
    entry_restarts = 1;
    errno = saved_errno;
}

// The handlers for the prompt, with the handled signals blocked; the
// destructor puts back the dispositions and the mask it found.
struct signal_guard {
    sigset_t handled, wait_mask;  // wait_mask: the caller's mask
    bool installed[NSIG] = {};
    signal_guard() {
        sigemptyset(&handled);
        for (int s = 1; s < NSIG; s++)
            if (caught_at_prompt(s)) sigaddset(&handled, s);
        sigprocmask(SIG_BLOCK, &handled, &wait_mask);
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        sa.sa_mask = handled;
        for (int s = 1; s < NSIG; s++) {
            if (!sigismember(&handled, s) || sigaction(s, nullptr, &previous[s]) != 0) continue;
            if (previous[s].sa_handler == SIG_IGN) continue;
            installed[s] = sigaction(s, &sa, nullptr) == 0;
        }
    }
    ~signal_guard() {
        for (int s = 1; s < NSIG; s++)
            if (installed[s]) sigaction(s, &previous[s], nullptr);
        sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
    }
};

// Takes the `got` bytes just read after out.len into the entry: true when
// they hold the newline, which ends it (the newline and anything after it
// are wiped and not kept).
bool take(secret &out, size_t got) {
    const void *newline = memchr(out.data + out.len, '\n', got);
    if (newline == nullptr) {
        out.len += got;
        return false;
    }
    const size_t kept = size_t(static_cast<const uint8_t *>(newline) - out.data);
    wipe(out.data + kept, out.len + got - kept);
    out.len = kept;
    return true;
}

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
        if (got == 0 || take(out, size_t(got))) return PASSWORD_OK;
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

// One entry at the terminal `fd`, the prompt written to `prompt_fd`; signals
// are taken only while waiting, with `wait_mask`.  Only a newline ends an
// entry: the end of input before it (Ctrl-D) is PASSWORD_NO_ENTRY.
password_status ask(int fd, int prompt_fd, const char *prompt, const sigset_t &wait_mask,
                    secret &out) {
    say(prompt_fd, prompt);
    password_status status = PASSWORD_NO_ENTRY;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &wait_mask) < 0) {
            if (errno != EINTR) {
                status = PASSWORD_READ_ERROR;
                break;
            }
            if (entry_restarts) {  // stopped and continued: from the start
                entry_restarts = 0;
                out.clear();
                say(prompt_fd, prompt);
            }
            continue;
        }
        if (!out.reserve(1)) {
            status = PASSWORD_NO_MEMORY;
            break;
        }
        const ssize_t got = read(fd, out.data + out.len, out.cap - out.len);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) status = PASSWORD_READ_ERROR;
        if (got > 0 && !take(out, size_t(got))) continue;
        if (got > 0) status = PASSWORD_OK;
        break;
    }
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
        entry_restarts = 0;
        if (tcgetattr(fd, &saved_modes) != 0) {
            status = PASSWORD_READ_ERROR;
        } else {
            quiet_modes = saved_modes;
            quiet_modes.c_lflag &= ~tcflag_t(ECHO);
            quiet_modes.c_lflag |= ICANON;  // a line at a time
            terminal_fd = fd;
            if (tcsetattr(fd, TCSAFLUSH, &quiet_modes) != 0) status = PASSWORD_READ_ERROR;
        }
        if (status == PASSWORD_OK) status = ask(fd, prompt_fd, "Password: ", guard.wait_mask, out);
        if (status == PASSWORD_OK && twice) {
            secret again;
            status = ask(fd, prompt_fd, "Password again: ", guard.wait_mask, again);
            if (status == PASSWORD_OK && !same_secret(out, again)) status = PASSWORD_MISMATCH;
        }
        // The handled signals are still blocked: none comes between these.
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
