/*
 * passwd: stores and checks passwords as scrypt strings.  A plain C host of
 * the library's password functions.
 *
 *   passwd           reads a password and prints its "$7$" string
 *                    (N = 2^14, r = 8, p = 1: the interactive-login cost)
 *   passwd STRING    reads a password and exits 0 when it is the one STRING
 *                    was made from, 1 otherwise (with the reason on standard
 *                    error when STRING could not be checked at all)
 *
 * The password is read from the terminal without echo, or, when standard
 * input is not a terminal, as the first line of standard input.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "scrypt-vornik.h"

/* Overwrites a password so that the compiler keeps the writes. */
static void wipe(char *p, size_t n) {
    volatile char *v = p;
    while (n--) *v++ = 0;
}

/*
 * Reads one line into buf without its newline; the terminal's echo is off
 * while it is typed.  Returns its length, or -1 at end of input or when it
 * does not fit.
 */
static long read_password(char *buf, size_t size) {
    struct termios saved, quiet;
    const int tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        fputs("Password: ", stderr);
        quiet = saved;
        quiet.c_lflag &= ~(tcflag_t)ECHO;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const char *got = fgets(buf, (int)size, stdin);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fputc('\n', stderr);
    }
    if (got == NULL) return -1;
    size_t n = strlen(buf);
    if (n > 0 && buf[n - 1] == '\n')
        buf[--n] = '\0';
    else if (!feof(stdin))
        return -1; /* longer than the buffer */
    return (long)n;
}

int main(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: %s [STRING]\n", argv[0]);
        return 2;
    }
    char password[1024];
    const long len = read_password(password, sizeof password);
    if (len < 0) {
        fprintf(stderr, "%s: no password read (at most %zu bytes, one line)\n", argv[0],
                sizeof password - 2);
        return 2;
    }

    int status;
    if (argc == 1) {
        char stored[SCRYPT_PASSWORD_STRBYTES];
        status = scrypt_hash_password(stored, sizeof stored, (const uint8_t *)password, (size_t)len,
                                      (uint64_t)1 << 14, 8, 1);
        if (status == SCRYPT_OK) puts(stored);
    } else {
        /* 0: the default limit of 1 GiB, enough for N = 2^20, r = 8, p = 1. */
        status = scrypt_verify_password(argv[1], (const uint8_t *)password, (size_t)len, 0);
    }
    wipe(password, sizeof password);
    if (status != SCRYPT_OK && status != SCRYPT_ERR_MISMATCH)
        fprintf(stderr, "%s: %s\n", argv[0], scrypt_strerror(status));
    return status == SCRYPT_OK ? 0 : 1;
}
