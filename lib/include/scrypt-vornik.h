/*
 * scrypt-vornik: scrypt key derivation (RFC 7914) for C and C++ hosts.
 *
 * Two entry points derive the same keys:
 *
 *   scrypt_derive_key()  N, r and p as integers (any values RFC 7914 allows),
 *                        returns a status and never ends the process; calls
 *                        from different threads run at the same time.  New
 *                        code, and every library, should use this one.
 *   scrypt()             N, r and p as base-2 logarithms in single bytes;
 *                        every failure goes to one process-wide fatal-error
 *                        handler, whose default ends the process; calls run
 *                        one at a time.
 *
 * and scrypt_derive_keys() derives a batch of keys with the same N, r and p
 * as scrypt_derive_key() would, several side by side when the caller allows
 * it the memory for more than one table.
 *
 * scrypt_calibrate() chooses N, r and p for a time and a memory limit by
 * measuring this machine.
 *
 * The library exports these, scrypt_strerror() and scrypt_set_fatal_error().
 * It links against nothing but the C standard library (and its POSIX
 * threads); a C host links the static archive libscrypt-vornik.a with its C
 * compiler alone.  With a C library older than glibc 2.34, link with
 * -pthread (the CMake package and the pkg-config file add it).
 *
 * Memory: a derivation needs N * 128 * r bytes for its table plus
 * (p + 1) * 128 * r bytes of work space.  Both buffers are kept after a call
 * and reused while the parameters stay the same: scrypt() keeps one pair for
 * all its calls, and every thread that calls scrypt_derive_key() keeps its
 * own pair (shared with its scrypt_derive_keys() calls, which may hold
 * more tables: see there), until it calls with other parameters (which
 * replaces them), the thread exits, or the library is unloaded or the
 * process ends (which releases them).  An idle thread therefore holds the buffers of its last
 * derivation.  Every derivation, the self-test's included, ends by
 * overwriting both buffers with zeros after the output is written, so
 * between calls they hold nothing derived from the password; while a
 * derivation runs they hold its intermediate values.  The caller owns
 * password, salt and output; the library only reads the first two and
 * writes exactly `out_len` bytes of the third (nothing at all on a failure),
 * and clears none of them.  The output may overlap the password and the
 * salt: the key is then that of the inputs as they were when the call began.
 *
 * Self-test: the first call of a process, through either entry point, first
 * tests the library against known answers (every mixing form this processor
 * runs, SHA-256 and two complete derivations); concurrent first calls wait
 * for it.  Later calls skip it, whatever its outcome, except when its
 * derivations could not have their memory: that call then fails as out of
 * memory, and the next call runs the self-test again.  If any part failed,
 * every scrypt_derive_key() call returns SCRYPT_ERR_SELFTEST, and scrypt()
 * reports the failure to the handler once (see scrypt()).
 */
#ifndef SCRYPT_VORNIK_H
#define SCRYPT_VORNIK_H

#include <stddef.h>
#include <stdint.h>

#define SCRYPT_VORNIK_VERSION_MAJOR 1
#define SCRYPT_VORNIK_VERSION_MINOR 0
#define SCRYPT_VORNIK_VERSION_PATCH 0
#define SCRYPT_VORNIK_VERSION_STRING "1.0.0"

#if defined(__GNUC__)
#define SCRYPT_VORNIK_API __attribute__((visibility("default")))
#else
#define SCRYPT_VORNIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Statuses of scrypt_derive_key() and the functions built on it: SCRYPT_OK
 * or a negative value.  scrypt_derive_key() returns only the first four.
 */
#define SCRYPT_OK 0
#define SCRYPT_ERR_PARAMETER (-1) /* a parameter is outside its range */
#define SCRYPT_ERR_MEMORY (-2)    /* a work buffer could not be allocated */
#define SCRYPT_ERR_SELFTEST (-3)  /* the library failed its self-test */
#define SCRYPT_ERR_BUFFER (-4)    /* output buffer too small */
#define SCRYPT_ERR_RANDOM (-5)    /* no randomness available */
#define SCRYPT_ERR_MISMATCH (-6)  /* password does not match */
#define SCRYPT_ERR_FORMAT (-7)    /* string cannot be parsed */
#define SCRYPT_ERR_LIMIT (-8)     /* parameters exceed the caller's limit */

/*
 * scrypt_derive_key: writes the first `out_len` bytes of
 * scrypt(password, salt, N, r, p) to `out` and returns SCRYPT_OK.
 *
 * N must be a power of two from 2 to 2^31; r and p at least 1, with
 * r * p < 2^30 (RFC 7914's bound on the mixed buffer, 128 * r * p bytes);
 * out_len at most (2^32 - 1) * 32 (RFC 8018's bound on PBKDF2).  Otherwise
 * the call returns SCRYPT_ERR_PARAMETER.  password, salt: any bytes, no
 * terminator needed; a length of 0 is allowed (the pointer may then be
 * null).  out_len may be 0: the whole derivation runs and nothing is
 * written.
 *
 * Returns SCRYPT_OK, or on failure, with nothing written to `out`:
 *     SCRYPT_ERR_PARAMETER  N, r, p or out_len outside the ranges above
 *     SCRYPT_ERR_MEMORY     a work buffer (N * 128 * r bytes of table,
 *                           (p + 1) * 128 * r of work space) could not be had,
 *                           or those of the first call's self-test
 *     SCRYPT_ERR_SELFTEST   the process's self-test failed (every call
 *                           returns it from then on)
 * It never calls the fatal-error handler and never ends the process.  The
 * self-test has run before any parameter is looked at, so a failed self-test
 * is reported whatever the parameters.
 *
 * Threads: calls from different threads run at the same time, each in the
 * calling thread's own buffers (see Memory above); only the first call of
 * the process, with its self-test, makes concurrent first calls wait.  A
 * call is never cancelled half-way: it disables thread cancellation for its
 * whole duration, waits included, and restores it before it returns.  After
 * fork() the child derives at once; the buffers of the parent's other
 * threads are released there, by the child's first derivation (the fork
 * handlers themselves free nothing).
 *
 * Stack: a call's frames and the clearing at its end take up to 32 KiB
 * below the caller's frame.  On a thread whose stack ends sooner (a host's
 * thread made with a small stack), the clearing stops 8 KiB short of its end;
 * a call on a stack the C library does not know (a coroutine's) needs the
 * whole 32 KiB.
 *
 * Signals: no function of the library is async-signal-safe.  A signal
 * handler must not call any of them: one that calls scrypt_derive_key() (or
 * any other) while the thread it interrupted is inside the library may hang
 * on a lock that thread holds, or spoil the interrupted call's work.
 */
SCRYPT_VORNIK_API int scrypt_derive_key(const uint8_t *password, size_t password_len,
                                        const uint8_t *salt, size_t salt_len, uint64_t N,
                                        uint32_t r, uint32_t p, uint8_t *out, size_t out_len);

/*
 * scrypt_calibrate: chooses N, r and p for derivations that take about
 * `seconds` on this machine with a table of at most `max_memory` bytes, by
 * timing real derivations of scrypt_derive_key() in the calling thread, and
 * returns SCRYPT_OK with them in *N, *r and *p.
 *
 * r is 8.  N is the largest power of two (at most 2^31) whose table,
 * N * 128 * r bytes, fits `max_memory` and whose derivation was measured
 * within `seconds` (N = 2 when even that takes longer).  When the memory
 * binds before the time, p grows so that the derivation takes up the time
 * (RFC 7914's use of p), aimed at 0.85 of `seconds` for a margin, with
 * r * p < 2^30 and the work space's p * 128 * r bytes within `max_memory`
 * too; otherwise p is 1.  Timings vary with the load of the machine: a
 * derivation with the result typically takes between 0.4 of `seconds` and
 * `seconds`.
 *
 * The call itself takes at most about twice `seconds` (it doubles N from 2
 * and stops where the next doubling would be estimated to pass `seconds`),
 * plus the first call's self-test if this is the process's first call.
 * It uses as much memory as the derivations it runs: up to `max_memory` of
 * table, which the thread keeps, as after scrypt_derive_key().
 *
 * Returns SCRYPT_OK, or on failure, with nothing written to *N, *r, *p:
 *     SCRYPT_ERR_PARAMETER  `seconds` not a positive finite number (at most
 *                           1e9), `max_memory` below 2048 (N = 2, r = 8),
 *                           or N, r or p null
 *     SCRYPT_ERR_MEMORY     a derivation's buffers could not be had
 *     SCRYPT_ERR_SELFTEST   as for scrypt_derive_key()
 * Threads and cancellation as for scrypt_derive_key().
 */
SCRYPT_VORNIK_API int scrypt_calibrate(double seconds, uint64_t max_memory, uint64_t *N,
                                       uint32_t *r, uint32_t *p);

/*
 * scrypt_job: one derivation of a batch (see scrypt_derive_keys()): what
 * scrypt_derive_key() takes apart from N, r and p, and the status of this
 * job, which the call sets.
 */
typedef struct scrypt_job {
    const uint8_t *password;
    size_t password_len;
    const uint8_t *salt;
    size_t salt_len;
    uint8_t *out;
    size_t out_len;
    int status; /* set by the call */
} scrypt_job;

/*
 * scrypt_derive_keys: derives `count` keys with the same N, r and p, each
 * job's key equal to what scrypt_derive_key() would write for it, and sets
 * every job's status.
 *
 * All count * p chunks share N and r, so the library mixes them side by
 * side in its vector lanes (up to 16 at once), each with a table of its
 * own: as many tables at once as `max_memory` bytes hold (N * 128 * r bytes
 * each), at most 16, at most one per chunk.  One job with p > 1 and room for
 * p tables mixes its own chunks side by side.  Besides the tables the call
 * works in Y and the B chunks of the jobs in progress (one job's p chunks,
 * or as many jobs' as there are tables) plus, with more than one table, 32
 * chunks for the vector lanes ((1 + chunks) * 128 * r bytes); this comes on
 * top of `max_memory`, as the work space of scrypt_derive_key() comes on top
 * of its table.  Tables that together reach 4 MiB start on a 2 MiB boundary
 * (for huge pages), with up to 2 MiB of address space before them that is
 * never written.  Pass UINT64_MAX for as many tables as are useful.
 *
 * Returns SCRYPT_OK when every job succeeded, otherwise the status of the
 * first job (in job order) that failed:
 *     SCRYPT_ERR_PARAMETER  N, r or p outside the ranges of
 *                           scrypt_derive_key(), jobs null with count > 0,
 *                           outputs that overlap (every job; see below), or
 *                           a count no array of jobs can have (nothing is
 *                           written, not even the statuses),
 *                           or this job's out_len too large (this job only:
 *                           the others are derived)
 *     SCRYPT_ERR_LIMIT      one table is larger than max_memory (every job;
 *                           nothing is allocated)
 *     SCRYPT_ERR_MEMORY     the buffers could not be had, or the overlap
 *                           check's list (every job)
 *     SCRYPT_ERR_SELFTEST   as for scrypt_derive_key() (every job)
 * A job that failed has nothing written to its output.  count may be 0
 * (SCRYPT_OK, nothing done).
 *
 * Overlapping buffers: a job's output may overlap its own password and salt
 * (its key is then that of its inputs as they were when the call began, as
 * for scrypt_derive_key()), and jobs may share passwords and salts.  A batch
 * in which any job's output overlaps another job's password, salt or output,
 * or anything overlaps the `jobs` array itself (the call writes the
 * statuses), is refused before anything is allocated or
 * written, whatever `max_memory` allows: every job's status is
 * SCRYPT_ERR_PARAMETER, and so is the call's.  Empty ranges overlap nothing,
 * and the output of a job whose out_len is refused counts as empty.  The
 * check sorts the ranges (O(count log count)); for a large batch it
 * allocates their list, and if that fails every job gets SCRYPT_ERR_MEMORY.
 *
 * Memory and threads as for scrypt_derive_key(): the calling thread keeps
 * its buffers while N, r, p, the number of tables and the jobs in progress
 * stay the same (a call of scrypt_derive_key() in between replaces them),
 * every call ends by zeroing them, and they are released at thread exit and
 * unload.  Calls from different threads run at the same time, each in its
 * own thread's buffers; a call is never cancelled half-way.
 */
SCRYPT_VORNIK_API int scrypt_derive_keys(scrypt_job *jobs, size_t count, uint64_t N, uint32_t r,
                                         uint32_t p, uint64_t max_memory);

/*
 * scrypt_strerror: a constant English text describing `status`, one of the
 * SCRYPT_ statuses above, or a text saying that the status is unknown.  The
 * text belongs to the library; do not free or modify it.
 */
SCRYPT_VORNIK_API const char *scrypt_strerror(int status);

/*
 * fatal_error_handler: receives one constant, zero-terminated message from
 * the list at scrypt().  The message belongs to the library; do not free it.
 */
typedef void (*fatal_error_handler)(const char *message);

/*
 * scrypt: writes the first `out_len` bytes of
 * scrypt(password, salt, N = 2^(Nfactor+1), r = 2^rfactor, p = 2^pfactor)
 * to `out`.
 *
 *     N = 2^(Nfactor + 1)   Nfactor  0 .. 30   (N = 2 .. 2^31)
 *     r = 2^rfactor         rfactor  0 .. 8    (r = 1 .. 256)
 *     p = 2^pfactor         pfactor  0 .. 25   (p = 1 .. 2^25)
 *
 * Mind the "+ 1": Nfactor 13 means N = 16384, and Nfactor 0 means N = 2.
 * Passing N itself does not work: the argument is a byte, so the value is
 * truncated (16384 becomes 0, that is N = 2, and nothing is reported), and
 * only what remains above 30 is reported as out of range.
 * In addition p * r must stay below 2^30 (pfactor + rfactor <= 29), the
 * bound that RFC 7914 places on the size of the mixed buffer, and the output
 * may be at most (2^32 - 1) * 32 bytes long.
 *
 * password, salt: any bytes, no terminator needed; a length of 0 is allowed
 * (the pointer may then be null).  out_len may be 0, in which case the whole
 * derivation runs and nothing is written.
 *
 * Failures are never returned.  Each is reported once to the fatal-error
 * handler as one of these constant messages:
 *
 *     "scrypt: power on self test failed"               every self-test part failed
 *     "scrypt: mix function power-on-self-test failed"  a mixing form is wrong
 *     "scrypt: hash function power-on-self-test failed" SHA-256 is wrong
 *     "scrypt: scrypt power-on-self-test failed"        a known derivation is wrong
 *     "scrypt: N out of range"                          Nfactor > 30
 *     "scrypt: r out of range"                          rfactor > 8
 *     "scrypt: p out of range"                          pfactor > 25, or
 *                                                       pfactor + rfactor >= 30
 *     "scrypt: output length out of range"              out_len > (2^32 - 1) * 32
 *     "scrypt: out of memory"                           a work buffer could not
 *                                                       be allocated
 *
 * The self-test's messages come from the call that runs it, each as soon as
 * its part has ended; if scrypt_derive_key() ran it, the next scrypt() call
 * makes them instead, in the same order, before it derives.
 *
 * If an installed handler returns after a range, length or memory report,
 * scrypt() returns at once without deriving or writing anything.  If it
 * returns after a self-test report, the call goes on and derives the key.
 *
 * Threads: scrypt() and scrypt_set_fatal_error() may be called from any
 * thread.  They share one process-wide lock and run one at a time: a call
 * that finds another in progress waits for it, and waiting calls are served
 * in the order they arrived.  scrypt() calls therefore do not run in
 * parallel (scrypt_derive_key() calls do, and take no part in this lock).
 * A host on one thread pays one uncontended lock per call, nothing else.
 * The handler runs with the lock released (see scrypt_set_fatal_error()).
 * fork() waits for a scrypt() call in progress in another thread to end, so
 * the child finds the library ready to use.  Not async-signal-safe (see
 * scrypt_derive_key()): a signal handler must not call scrypt().
 */
SCRYPT_VORNIK_API void scrypt(const uint8_t *password, size_t password_len, const uint8_t *salt,
                              size_t salt_len, uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor,
                              uint8_t *out, size_t out_len);

/*
 * scrypt_set_fatal_error: installs `handler` for every later report of
 * scrypt(), including those of the self-test, from whichever thread (the
 * handler is scrypt()'s alone: scrypt_derive_key() never calls it, whichever
 * is installed).  A handler may end
 * the process, jump away (longjmp), throw a C++ exception through the
 * library, or return (see scrypt() for what a returning handler gets).  It
 * runs with the library's lock released, the library's state consistent and
 * the thread's cancellation state and type as the caller had them, so
 * whichever way it leaves, the library stays usable from every thread, the
 * thread is as cancellable as before the call,
 * and other threads' calls go ahead while it runs.  A handler may itself call
 * scrypt() and scrypt_set_fatal_error(); such a call is an ordinary one (it
 * may report, entering the handler again).  While the first call's self-test
 * waits in the handler, other calls do not wait for the self-test and do not
 * run it again: scrypt() calls derive at once, with the mixing forms the
 * self-test has already checked, and scrypt_derive_key() calls return
 * SCRYPT_ERR_SELFTEST.  Passing NULL reinstates the default handler.
 */
SCRYPT_VORNIK_API void scrypt_set_fatal_error(fatal_error_handler handler);

/*
 * Storing passwords.  A stored password is one string that holds the salt,
 * the cost parameters and the key, in either of two forms:
 *
 *     $7$ N rrrrr ppppp SALT $ KEY      libsodium's, crypt(3)'s and passlib's
 *     $scrypt$ln=L,r=R,p=P$SALT$KEY     PHC form: passlib's default
 *
 * scrypt_hash_password() writes "$7$" strings of libsodium's shape (a salt
 * of 32 random bytes written as 43 characters, 101 characters in all), which
 * libsodium, libxcrypt's crypt(3) and passlib accept.  Recommended: N = 2^14,
 * r = 8, p = 1 for interactive logins (16 MiB, tens of milliseconds), N =
 * 2^20 for secrets used rarely (1 GiB).
 *
 * Statuses are the SCRYPT_ values above; none of these functions calls
 * the fatal-error handler, and all of them are safe from any thread.
 */
#define SCRYPT_PASSWORD_STRBYTES 102 /* 101 characters and the terminator */

/*
 * scrypt_hash_password: writes the "$7$" string of `password` with a fresh
 * salt from getrandom(2) and the cost N, r, p to `out` and returns SCRYPT_OK.
 * N, r and p follow the rules of scrypt_derive_key(), and N must be at least
 * 4 (crypt(3) accepts nothing smaller): SCRYPT_ERR_PARAMETER otherwise.
 * SCRYPT_ERR_BUFFER when `out_size` is below SCRYPT_PASSWORD_STRBYTES,
 * SCRYPT_ERR_RANDOM when no randomness could be had; on every failure `out`
 * holds an empty string where there is room for one.
 */
SCRYPT_VORNIK_API int scrypt_hash_password(char *out, size_t out_size, const uint8_t *password,
                                           size_t password_len, uint64_t N, uint32_t r, uint32_t p);

/*
 * scrypt_verify_password: checks `password` against the stored string
 * (either form; any "$7$" salt length; PHC padded or not, salts up to 1024
 * bytes).  SCRYPT_OK on a match, SCRYPT_ERR_MISMATCH on a wrong password,
 * SCRYPT_ERR_FORMAT when the string cannot be parsed or names no scrypt
 * (N below 2, r or p 0, r * p of 2^30 or more).
 *
 * A stored string may come from an attacker, so its cost is bounded before
 * anything is allocated or computed: SCRYPT_ERR_LIMIT when its table,
 * N * 128 * r bytes, exceeds `max_memory`, or its work, N * r * p, exceeds
 * max_memory / 128 (the work of the largest p = 1 table the limit allows),
 * or N exceeds 2^31.  `max_memory` 0 means 1 GiB, which admits libsodium's
 * largest preset (N = 2^20, r = 8, p = 1).  The whole key is compared in
 * constant time.
 */
SCRYPT_VORNIK_API int scrypt_verify_password(const char *stored, const uint8_t *password,
                                             size_t password_len, uint64_t max_memory);

/*
 * scrypt_password_needs_rehash: 0 when `stored` is a "$7$" string of the
 * shape scrypt_hash_password() writes with exactly N, r and p; 1 when
 * anything differs (the parameters either way, the PHC form, another salt
 * length); SCRYPT_ERR_FORMAT when it cannot be parsed, SCRYPT_ERR_PARAMETER
 * when N, r, p are not ones scrypt_hash_password() accepts.  Computes
 * nothing.
 */
SCRYPT_VORNIK_API int scrypt_password_needs_rehash(const char *stored, uint64_t N, uint32_t r,
                                                   uint32_t p);

#ifdef __cplusplus
}
#endif

#endif /* SCRYPT_VORNIK_H */
