// scrypt-vornik: scrypt password strings, keys and parameters from the shell.
//
//   scrypt-vornik hash [-N N] [-r R] [-p P] | [--time SECONDS] [--memory BYTES]
//   scrypt-vornik verify [--max-memory BYTES] STRING
//   scrypt-vornik derive --salt SALT [-N N] [-r R] [-p P] [-l LENGTH] [--format F]
//   scrypt-vornik calibrate [--time SECONDS] [--memory BYTES]
//   scrypt-vornik info
//
// The password is never an argument (other users see arguments in ps): it
// comes from the terminal, with echo off, or from standard input.  Exit
// status 0 on success, 1 when `verify` finds a mismatch, 2 on any trouble,
// with one line "scrypt-vornik: ..." on standard error.  A host of the
// public interface (apart from `info`, which reads the library's private
// choice of mixing form).
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "info.h"
#include "options.h"
#include "password.h"
#include "scrypt-vornik.h"
#include "secret.h"

namespace {

const char program[] = "scrypt-vornik";

enum exit_status { EXIT_MATCH = 0, EXIT_MISMATCH = 1, EXIT_TROUBLE = 2 };

const char usage_text[] =
    "usage: scrypt-vornik COMMAND [OPTIONS]\n"
    "\n"
    "  hash [-N N] [-r R] [-p P]            print a \"$7$\" password string\n"
    "                                       (defaults N 16384, r 8, p 1)\n"
    "  hash --time SECONDS [--memory BYTES] ... with parameters calibrated here\n"
    "  verify [--max-memory BYTES] STRING   exit 0 on a match, 1 on a mismatch\n"
    "                                       (strings needing more than BYTES,\n"
    "                                       default 1G, are refused)\n"
    "  derive --salt SALT [-N N] [-r R] [-p P] [-l LENGTH] [--format hex|base64|raw]\n"
    "                                       print the key (defaults 16384, 8, 1,\n"
    "                                       32 bytes, hex)\n"
    "  calibrate [--time SECONDS] [--memory BYTES]\n"
    "                                       print \"N=.. r=.. p=..\", then the time\n"
    "                                       and memory of one derivation\n"
    "  info                                 version, processor, mixing forms\n"
    "  --help, --version\n"
    "\n"
    "The password is read from the terminal with echo off (hash asks twice), or\n"
    "else from standard input up to its first newline.  BYTES take the suffixes\n"
    "K, M and G (powers of 1024); --memory defaults to a quarter of this\n"
    "machine's memory, --time to 0.1.  Exit status: 0 success or a match,\n"
    "1 a mismatch, 2 trouble.\n";

// One line on standard error; returns EXIT_TROUBLE for `return fail(...)`.
// The messages quote arguments, so control characters (C0 and DEL) are
// shown escaped, as \n, \r, \t or \xHH: the line stays one line, and
// no argument can move the cursor or pass for a message of its own.
int fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
int fail(const char *format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    char shown[4 * sizeof line];
    size_t o = 0;
    for (const char *c = line; *c != '\0'; c++) {
        const unsigned char b = static_cast<unsigned char>(*c);
        if (b >= 0x20 && b != 0x7f)
            shown[o++] = char(b);
        else if (b == '\n' || b == '\r' || b == '\t')
            o += size_t(snprintf(shown + o, 3, "\\%c", b == '\n' ? 'n' : b == '\r' ? 'r' : 't'));
        else
            o += size_t(snprintf(shown + o, 5, "\\x%02x", b));
    }
    shown[o] = '\0';
    fprintf(stderr, "%s: %s\n", program, shown);
    return EXIT_TROUBLE;
}

int fail_usage(const char *command, const char *what) {
    return fail("%s: %s (see scrypt-vornik --help)", command, what);
}

// The failure of a library call, or of reading the password.
int fail_status(const char *command, int status) {
    return fail("%s: %s", command, scrypt_strerror(status));
}

int fail_password(const char *command, password_status status) {
    switch (status) {
        case PASSWORD_OK:
            break;
        case PASSWORD_READ_ERROR:
            return fail("%s: reading the password: %s", command, strerror(errno));
        case PASSWORD_NO_MEMORY:
            return fail("%s: out of memory reading the password", command);
        case PASSWORD_MISMATCH:
            return fail("%s: the two passwords differ", command);
        case PASSWORD_NO_ENTRY:
            return fail("%s: no password entered", command);
    }
    return EXIT_TROUBLE;
}

// Writes all of `data` to standard output, directly (no stdio buffer keeps
// a copy of a key).  false with errno set on a write error.
bool write_all(const void *data, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        const ssize_t put = write(STDOUT_FILENO, p, len);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        p += put;
        len -= size_t(put);
    }
    return true;
}

// Standard output's stdio buffer reaches the file, and the file is closed
// without error (a full disk shows here).
int finish_stdout(const char *command) {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        const int e = errno;
        fclose(stdout);
        return fail("%s: writing standard output: %s", command, strerror(e));
    }
    if (fclose(stdout) != 0)
        return fail("%s: writing standard output: %s", command, strerror(errno));
    return EXIT_MATCH;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A quarter of the machine's memory, the default of --memory.
uint64_t default_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return uint64_t(1) << 30;
    return uint64_t(pages) * uint64_t(page) / 4;
}

// The parameters that a command takes as -N, -r and -p.
struct cost {
    uint64_t N = 16384;
    uint32_t r = 8, p = 1;
};

// Reads -N, -r and -p into `c`; false after reporting a bad value.
bool parse_cost(const char *command, const char *N, const char *r, const char *p, cost *c,
                int *exit_code) {
    uint64_t v;
    if (N != nullptr) {
        if (!parse_N(N, &c->N)) {
            *exit_code = fail_usage(command, "-N takes a power of two from 2 to 2147483648");
            return false;
        }
    }
    // r * p < 2^30: each on its own at most 2^30 - 1; the library checks
    // the product.
    const uint64_t max_rp = (uint64_t(1) << 30) - 1;
    if (r != nullptr) {
        if (!parse_count(r, 1, max_rp, &v)) {
            *exit_code = fail_usage(command, "-r takes a whole number from 1 to 1073741823");
            return false;
        }
        c->r = uint32_t(v);
    }
    if (p != nullptr) {
        if (!parse_count(p, 1, max_rp, &v)) {
            *exit_code = fail_usage(command, "-p takes a whole number from 1 to 1073741823");
            return false;
        }
        c->p = uint32_t(v);
    }
    if (uint64_t(c->r) * c->p > max_rp) {
        *exit_code = fail_usage(command, "r * p must be below 2^30");
        return false;
    }
    return true;
}

// --time and --memory of `hash` and `calibrate`.
bool parse_budget(const char *command, const char *time_text, const char *memory_text,
                  double *seconds, uint64_t *memory, int *exit_code) {
    *seconds = 0.1;
    *memory = default_memory();
    if (time_text != nullptr && !parse_seconds(time_text, seconds)) {
        *exit_code = fail_usage(command, "--time takes a positive number of seconds");
        return false;
    }
    if (*seconds > 1e9) {
        *exit_code = fail_usage(command, "--time takes at most 1e9 seconds");
        return false;
    }
    if (memory_text != nullptr && !parse_bytes(memory_text, memory)) {
        *exit_code =
            fail_usage(command, "--memory takes a positive number of bytes (suffixes K, M, G)");
        return false;
    }
    if (*memory < 2048) {
        *exit_code = fail_usage(command, "--memory must be at least 2K (N = 2, r = 8)");
        return false;
    }
    return true;
}

#define OPTION_COUNT(specs) (sizeof(specs) / sizeof((specs)[0]))

int command_hash(int argc, char **argv) {
    const char *N = nullptr, *r = nullptr, *p = nullptr, *time_text = nullptr,
               *memory_text = nullptr;
    option_spec specs[] = {
        {"-N", &N}, {"-r", &r}, {"-p", &p}, {"--time", &time_text}, {"--memory", &memory_text}};
    size_t npos;
    char error[256];
    if (!parse_options(argc, argv, specs, OPTION_COUNT(specs), nullptr, 0, &npos, error,
                       sizeof error))
        return fail_usage("hash", error);
    if (time_text != nullptr && (N || r || p))
        return fail_usage("hash", "-N, -r and -p cannot be given with --time");
    if (memory_text != nullptr && time_text == nullptr)
        return fail_usage("hash", "--memory needs --time");
    int code;
    cost c;
    if (!parse_cost("hash", N, r, p, &c, &code)) return code;
    if (c.N < 4) return fail_usage("hash", "-N must be at least 4 for a password string");
    if (time_text != nullptr) {
        double seconds;
        uint64_t memory;
        if (!parse_budget("hash", time_text, memory_text, &seconds, &memory, &code)) return code;
        if (memory < 4096)
            return fail_usage("hash", "--memory must be at least 4K for a password string (N = 4)");
        const int status = scrypt_calibrate(seconds, memory, &c.N, &c.r, &c.p);
        if (status != SCRYPT_OK) return fail_status("hash", status);
        // N = 2 only when even that took longer than --time: a string's
        // smallest, N = 4, fits the memory given.
        if (c.N < 4) c.N = 4;
    }

    secret password;
    const password_status read = read_password(password, true);
    if (read != PASSWORD_OK) return fail_password("hash", read);
    char out[SCRYPT_PASSWORD_STRBYTES + 1];
    const int status = scrypt_hash_password(out, SCRYPT_PASSWORD_STRBYTES, password.data,
                                            password.len, c.N, c.r, c.p);
    password.clear();
    if (status != SCRYPT_OK) return fail_status("hash", status);
    const size_t len = strlen(out);
    out[len] = '\n';
    if (!write_all(out, len + 1)) return fail("hash: writing standard output: %s", strerror(errno));
    return finish_stdout("hash");
}

int command_verify(int argc, char **argv) {
    const char *max_text = nullptr;
    option_spec specs[] = {{"--max-memory", &max_text}};
    const char *positional[1];
    size_t npos;
    char error[256];
    if (!parse_options(argc, argv, specs, OPTION_COUNT(specs), positional, 1, &npos, error,
                       sizeof error))
        return fail_usage("verify", error);
    if (npos != 1) return fail_usage("verify", "the password string is missing");
    uint64_t max_memory = uint64_t(1) << 30;
    if (max_text != nullptr && !parse_bytes(max_text, &max_memory))
        return fail_usage("verify",
                          "--max-memory takes a positive number of bytes (suffixes K, M, G)");

    // A string that cannot be parsed, or costs too much, is refused before
    // the password is asked for: scrypt_password_needs_rehash() parses it
    // without computing anything.
    const char *stored = positional[0];
    if (scrypt_password_needs_rehash(stored, 4, 1, 1) == SCRYPT_ERR_FORMAT)
        return fail("verify: not a scrypt password string");

    secret password;
    const password_status read = read_password(password, false);
    if (read != PASSWORD_OK) return fail_password("verify", read);
    const int status = scrypt_verify_password(stored, password.data, password.len, max_memory);
    password.clear();
    switch (status) {
        case SCRYPT_OK:
            return EXIT_MATCH;  // nothing was written: standard output is not ours to judge
        case SCRYPT_ERR_MISMATCH:
            return EXIT_MISMATCH;
        case SCRYPT_ERR_FORMAT:
            return fail("verify: not a scrypt password string");
        case SCRYPT_ERR_LIMIT:
            return fail("verify: the string's parameters need more than --max-memory allows");
    }
    return fail_status("verify", status);
}

// RFC 4648 base64 with padding.
void base64(const uint8_t *in, size_t len, char *out) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        const uint32_t b0 = in[i], b1 = i + 1 < len ? in[i + 1] : 0,
                       b2 = i + 2 < len ? in[i + 2] : 0;
        const uint32_t w = b0 << 16 | b1 << 8 | b2;
        out[o++] = alphabet[w >> 18 & 63];
        out[o++] = alphabet[w >> 12 & 63];
        out[o++] = i + 1 < len ? alphabet[w >> 6 & 63] : '=';
        out[o++] = i + 2 < len ? alphabet[w & 63] : '=';
    }
}

int command_derive(int argc, char **argv) {
    const char *salt = nullptr, *N = nullptr, *r = nullptr, *p = nullptr, *length_text = nullptr,
               *format = nullptr;
    option_spec specs[] = {{"--salt", &salt}, {"-N", &N},           {"-r", &r},
                           {"-p", &p},        {"-l", &length_text}, {"--format", &format}};
    size_t npos;
    char error[256];
    if (!parse_options(argc, argv, specs, OPTION_COUNT(specs), nullptr, 0, &npos, error,
                       sizeof error))
        return fail_usage("derive", error);
    if (salt == nullptr) return fail_usage("derive", "--salt is missing");
    int code;
    cost c;
    if (!parse_cost("derive", N, r, p, &c, &code)) return code;
    uint64_t length = 32;
    if (length_text != nullptr && !parse_count(length_text, 1, uint64_t(UINT32_MAX) * 32, &length))
        return fail_usage("derive", "-l takes a length from 1 to 137438953440 bytes");
    enum { HEX, BASE64, RAW } form = HEX;
    if (format != nullptr) {
        if (strcmp(format, "hex") == 0)
            form = HEX;
        else if (strcmp(format, "base64") == 0)
            form = BASE64;
        else if (strcmp(format, "raw") == 0)
            form = RAW;
        else
            return fail_usage("derive", "--format takes hex, base64 or raw");
    }
    if (length > SIZE_MAX / 2) return fail("derive: out of memory");

    // The key and its text, sized before the password is read.
    secret key, text;
    const size_t text_len = form == HEX      ? 2 * length + 1
                            : form == BASE64 ? (length + 2) / 3 * 4 + 1
                                             : 0;
    if (!key.reserve(length) || (text_len && !text.reserve(text_len)))
        return fail("derive: out of memory");

    secret password;
    const password_status read = read_password(password, false);
    if (read != PASSWORD_OK) return fail_password("derive", read);
    const int status = scrypt_derive_key(password.data, password.len, (const uint8_t *)salt,
                                         strlen(salt), c.N, c.r, c.p, key.data, length);
    password.clear();
    if (status != SCRYPT_OK) return fail_status("derive", status);
    key.len = length;

    bool written;
    if (form == RAW) {
        written = write_all(key.data, key.len);
    } else {
        char *t = reinterpret_cast<char *>(text.data);
        if (form == HEX) {
            static const char digits[] = "0123456789abcdef";
            for (size_t i = 0; i < key.len; i++) {
                t[2 * i] = digits[key.data[i] >> 4];
                t[2 * i + 1] = digits[key.data[i] & 15];
            }
        } else {
            base64(key.data, key.len, t);
        }
        t[text_len - 1] = '\n';
        text.len = text_len;
        written = write_all(text.data, text.len);
    }
    if (!written) return fail("derive: writing standard output: %s", strerror(errno));
    return finish_stdout("derive");
}

struct timed_derivation {
    const cost *c;
    int status;
    double seconds;
};

void *run_timed_derivation(void *arg) {
    timed_derivation *d = static_cast<timed_derivation *>(arg);
    uint8_t key[32];
    const double t0 = now();
    d->status = scrypt_derive_key((const uint8_t *)"password", 8, (const uint8_t *)"salt", 4,
                                  d->c->N, d->c->r, d->c->p, key, sizeof key);
    d->seconds = now() - t0;
    return nullptr;
}

int command_calibrate(int argc, char **argv) {
    const char *time_text = nullptr, *memory_text = nullptr;
    option_spec specs[] = {{"--time", &time_text}, {"--memory", &memory_text}};
    size_t npos;
    char error[256];
    if (!parse_options(argc, argv, specs, OPTION_COUNT(specs), nullptr, 0, &npos, error,
                       sizeof error))
        return fail_usage("calibrate", error);
    double seconds;
    uint64_t memory;
    int code;
    if (!parse_budget("calibrate", time_text, memory_text, &seconds, &memory, &code)) return code;

    // The self-test first, so that the calibration's time is its own.
    const double t_selftest = now();
    int status = scrypt_derive_key(nullptr, 0, nullptr, 0, 2, 1, 1, nullptr, 0);
    if (status != SCRYPT_OK) return fail_status("calibrate", status);
    const double t0 = now();
    cost c;
    status = scrypt_calibrate(seconds, memory, &c.N, &c.r, &c.p);
    const double t1 = now();
    if (status != SCRYPT_OK) return fail_status("calibrate", status);
    // One derivation with the choice, timed as a new process would see it:
    // in a thread of its own, whose buffers are new (this thread keeps those
    // of the calibration's last run).
    timed_derivation d{&c, SCRYPT_OK, 0};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run_timed_derivation, &d) != 0)
        run_timed_derivation(&d);
    else
        pthread_join(thread, nullptr);
    if (d.status != SCRYPT_OK) return fail_status("calibrate", d.status);

    const double table = double(c.N) * 128 * c.r, work = double(c.p + 1) * 128 * c.r;
    printf("N=%llu r=%u p=%u\n", (unsigned long long)c.N, c.r, c.p);
    printf("time: %.4f s per derivation (asked for %g s)\n", d.seconds, seconds);
    // --memory bounds the table, and the work space on its own: the two
    // together may come to twice it.
    printf("memory: table %.1f MiB (--memory %.1f MiB), work space %.1f KiB; %.1f MiB in all\n",
           table / 1048576, double(memory) / 1048576, work / 1024, (table + work) / 1048576);
    printf("calibration: %.4f s (self-test %.4f s before it)\n", t1 - t0, t0 - t_selftest);
    return finish_stdout("calibrate");
}

int command_info(int argc, char **) {
    if (argc != 0) return fail_usage("info", "takes no arguments");
    const int status = print_info(stdout);
    const int code = finish_stdout("info");
    if (code != EXIT_MATCH) return code;
    return status == SCRYPT_OK ? EXIT_MATCH : fail_status("info", status);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return fail("a command is missing (see scrypt-vornik --help)");
    const char *command = argv[1];
    int rest_c = argc - 2;
    char **rest_v = argv + 2;
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        if (rest_c != 0) return fail("--help takes no arguments");
        fputs(usage_text, stdout);
        return finish_stdout("--help");
    }
    if (strcmp(command, "--version") == 0) {
        if (rest_c != 0) return fail("--version takes no arguments");
        printf("scrypt-vornik %s\n", SCRYPT_VORNIK_VERSION_STRING);
        return finish_stdout("--version");
    }
    if (strcmp(command, "hash") == 0) return command_hash(rest_c, rest_v);
    if (strcmp(command, "verify") == 0) return command_verify(rest_c, rest_v);
    if (strcmp(command, "derive") == 0) return command_derive(rest_c, rest_v);
    if (strcmp(command, "calibrate") == 0) return command_calibrate(rest_c, rest_v);
    if (strcmp(command, "info") == 0) return command_info(rest_c, rest_v);
    return fail("unknown command '%s' (see scrypt-vornik --help)", command);
}
