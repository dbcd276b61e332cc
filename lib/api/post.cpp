#include "post.h"

#include <pthread.h>

#include "handler.h"
#include "selftest/selftest.h"

namespace {

// Guards the state below; `changed` is signalled when a part fails and when
// the self-test ends.  Both statically initialised.
pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
bool finished = false;
uint32_t passed = POST_ALL_PASSED;  // cleared bit by bit as parts fail
bool runner_reports = false;        // run by scrypt(), which reports as it goes
pthread_t runner;
// Reports owed by a self-test that scrypt_derive_key() ran and that failed:
// the result whose failed parts the next scrypt() call reports.
bool owing = false;
uint32_t owed_result = 0;
// Set once the self-test has ended with every part passed, which is final:
// from then on a status-returning call goes ahead at once, without the
// mutex.  Written with `guard` held, read without it.
bool passed_for_good = false;

// Whether this thread holds `guard` for fork() (from the prepare handler to
// the parent's or the child's): the host's own fork handlers may call the
// library meanwhile, on this thread, under the mutex it holds already.
thread_local bool forking = false;

void lock_state() {
    if (!forking) pthread_mutex_lock(&guard);
}

void unlock_state() {
    if (!forking) pthread_mutex_unlock(&guard);
}

const char *const part_messages[POST_PART_COUNT] = {
    "scrypt: mix function power-on-self-test failed",
    "scrypt: hash function power-on-self-test failed",
    "scrypt: scrypt power-on-self-test failed",
};
const char *const all_failed_message = "scrypt: power on self test failed";

// Whether the caller starts the self-test (it is the first to ask).
bool claim(bool reports) {
    lock_state();
    const bool first = power_on_self_test == 0;
    if (first) {
        power_on_self_test = 1;
        runner_reports = reports;
        runner = pthread_self();
    }
    unlock_state();
    return first;
}

void note_failure(uint32_t part_bit) {
    lock_state();
    passed &= ~part_bit;
    pthread_cond_broadcast(&changed);
    unlock_state();
}

void note_end(uint32_t result, bool owe_reports) {
    lock_state();
    finished = true;
    if (result == POST_ALL_PASSED && passed == POST_ALL_PASSED)
        __atomic_store_n(&passed_for_good, true, __ATOMIC_RELEASE);
    if (owe_reports && result != POST_ALL_PASSED) {
        owing = true;
        owed_result = result;
    }
    pthread_cond_broadcast(&changed);
    unlock_state();
}

// Gives the self-test up undecided: the derivation part could not have its
// buffers and nothing has failed, so the next call to come starts it again.
// Those waiting for it wake up and compete for it.
void note_undecided() {
    lock_state();
    power_on_self_test = 0;
    pthread_cond_broadcast(&changed);
    unlock_state();
}

// Runs every part in order, also after one has failed, recording each
// failure before it is reported (with `report`).  Returns false, with
// nothing recorded or reported for it, when the derivation part could not
// have its buffers and no part has failed: a shortage of memory says nothing
// about the library, and must not fail it for the rest of the process.
// After a failed part the self-test's verdict stands already, and a part
// that could not run counts as failed.
bool run(work_cache *cache, bool report, uint32_t *result) {
    *result = POST_ALL_PASSED;
    for (unsigned part = 0; part < POST_PART_COUNT; part++) {
        const uint32_t found = scrypt_self_test_part(part, cache);
        if (found == POST_PART_PASSED) continue;
        if (found == POST_PART_NO_MEMORY && *result == POST_ALL_PASSED) return false;
        *result &= ~(1u << part);
        note_failure(1u << part);
        if (report) scrypt_report(part_messages[part]);
    }
    return true;
}

// The reports of a self-test that ended with `result`, in the order in which
// scrypt() makes them as it runs the self-test itself.
void report_result(uint32_t result) {
    for (unsigned part = 0; part < POST_PART_COUNT; part++)
        if (!(result >> part & 1)) scrypt_report(part_messages[part]);
    if (result == 0) scrypt_report(all_failed_message);
}

// Waits, not cancellable, until `done()` holds (it is read with `guard`
// held), and returns with `guard` still held: the caller decides on the very
// state that ended the wait.  (Let go in between, a self-test given up
// undecided could be claimed by another thread meanwhile, and the caller
// would take the new, unfinished one for an ended one.)
void wait_for_self_test_locked(bool (*done)()) {
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    lock_state();
    while (!done()) pthread_cond_wait(&changed, &guard);
    pthread_setcancelstate(cancel_state, nullptr);
}

// With `guard` held.  scrypt() goes ahead once the self-test has ended, or
// while scrypt() runs it and waits in the handler (the forms are checked and
// ranked by then).
// Either also stops waiting when the self-test has been given up undecided
// (power_on_self_test back at 0), to start it itself.
bool done_for_scrypt() {
    return finished || power_on_self_test == 0 || (runner_reports && passed != POST_ALL_PASSED);
}
bool done_for_derive_key() {
    return finished || power_on_self_test == 0 || passed != POST_ALL_PASSED;
}

// fork() while a thread runs the self-test: the child lacks that thread, so
// there the self-test starts again with the child's first call (unless a
// part has already failed, which is then known for good).  The mutex is held
// across fork() so that the state is whole in the child.
void before_fork() {
    pthread_mutex_lock(&guard);
    forking = true;
}

void after_fork_parent() {
    forking = false;
    pthread_mutex_unlock(&guard);
}

void after_fork_child() {
    if (power_on_self_test != 0 && !finished && passed == POST_ALL_PASSED &&
        !pthread_equal(runner, pthread_self()))
        power_on_self_test = 0;
    // Threads that waited in the parent do not exist here.
    pthread_cond_init(&changed, nullptr);
    forking = false;
    pthread_mutex_unlock(&guard);
}

pthread_once_t setup_once = PTHREAD_ONCE_INIT;

void setup() {
    // The registry's handlers first, so that they run last before fork().
    scrypt_cache_setup();
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

extern "C" {

int32_t power_on_self_test = 0;

void scrypt_entry_setup(void) {
    pthread_once(&setup_once, setup);
}

uint32_t scrypt_power_on_self_test(void) {
    uint32_t result;
    if (!run(&scrypt_shared_cache, true, &result)) return POST_UNDECIDED;
    return result;
}

bool scrypt_post_for_scrypt(void) {
    for (;;) {
        if (claim(true)) {
            const uint32_t result = scrypt_power_on_self_test();
            if (result == POST_UNDECIDED) {
                note_undecided();
                scrypt_report("scrypt: out of memory");
                return false;
            }
            note_end(result, false);
            if (result == 0) scrypt_report(all_failed_message);
            return true;
        }
        wait_for_self_test_locked(done_for_scrypt);
        const bool again = power_on_self_test == 0;
        const bool report = owing;
        const uint32_t result = owed_result;
        owing = false;
        unlock_state();
        if (again) continue;
        if (report) report_result(result);
        return true;
    }
}

int scrypt_post_for_derive_key(void) {
    if (__atomic_load_n(&passed_for_good, __ATOMIC_ACQUIRE)) return SCRYPT_OK;
    for (;;) {
        if (claim(false)) {
            // In buffers of its own, outside the registry: another thread
            // that waits for this self-test may hold the registry's mutex (in
            // fork()'s handlers), and this self-test must not need it to end.
            uint32_t result;
            if (!run(nullptr, false, &result)) {
                note_undecided();
                return SCRYPT_ERR_MEMORY;
            }
            note_end(result, true);
            break;
        }
        wait_for_self_test_locked(done_for_derive_key);
        const bool again = power_on_self_test == 0;
        const bool ok = passed == POST_ALL_PASSED;
        unlock_state();
        if (!again) return ok ? SCRYPT_OK : SCRYPT_ERR_SELFTEST;
    }
    lock_state();
    const bool ok = passed == POST_ALL_PASSED;
    unlock_state();
    return ok ? SCRYPT_OK : SCRYPT_ERR_SELFTEST;
}

}  // extern "C"
