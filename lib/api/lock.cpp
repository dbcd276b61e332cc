// Built from the C library's POSIX mutex and condition variable: no C++
// runtime, and statically initialised, so taking the lock allocates nothing.
#include "lock.h"

#include <pthread.h>

namespace {

// A ticket lock: callers are served in the order they asked.  A plain mutex
// lets the thread that has just released it take it straight back, so a
// thread that derives in a loop can starve every other caller (and fork()
// in another thread, which waits for the lock) indefinitely.  `guard`
// protects the two counters and is held only for a few instructions.
pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turn = PTHREAD_COND_INITIALIZER;
unsigned long next_ticket = 0, now_serving = 0;
// Per thread, whether this thread holds the lock; constant-initialised, so
// no code runs when a thread starts.
thread_local bool held = false;

void take() {
    pthread_mutex_lock(&guard);
    const unsigned long ticket = next_ticket++;
    while (ticket != now_serving) pthread_cond_wait(&turn, &guard);
    pthread_mutex_unlock(&guard);
}

void give() {
    pthread_mutex_lock(&guard);
    now_serving++;
    pthread_cond_broadcast(&turn);
    pthread_mutex_unlock(&guard);
}

// fork() in another thread while one is inside scrypt() would give the child
// a lock that nobody there can release, and buffers in the middle of a
// derivation.  So fork() takes its turn like any caller (it waits for the
// call in progress, and for those queued before it), and holds `guard`
// across the fork so that no thread is half-way through the counters.  The
// parent then lets the queue go on; the child, whose only thread is the
// forking one (which holds `guard` there too), starts afresh with nobody
// queued.  The forking thread never holds the lock already: the library
// does not fork, and the handler runs with the lock released.
void before_fork() {
    take();
    pthread_mutex_lock(&guard);
}

void after_fork_parent() {
    pthread_mutex_unlock(&guard);
    give();
}

void after_fork_child() {
    next_ticket = now_serving = 0;
    // The threads that waited in the parent do not exist here; the condition
    // variable may still count them, so it starts afresh.
    pthread_cond_init(&turn, nullptr);
    pthread_mutex_unlock(&guard);
}

// Registered by the first call that takes the lock, before it queues:
// nothing runs when the library is loaded, and a fork() before that first
// call finds no lock held.  fork() and the registration are serialised by
// the C library.
pthread_once_t fork_handlers = PTHREAD_ONCE_INIT;

void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

extern "C" {

void scrypt_lock(void) {
    pthread_once(&fork_handlers, register_fork_handlers);
    take();
    held = true;
}

void scrypt_unlock(void) {
    held = false;
    give();
}

bool scrypt_lock_held(void) {
    return held;
}

}  // extern "C"
