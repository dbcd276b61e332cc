// A plain POSIX mutex from the C library: no C++ runtime, and statically
// initialised, so taking it allocates nothing.
#include "lock.h"

#include <pthread.h>

namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
// Per thread, whether this thread holds `lock`; constant-initialised, so no
// code runs when a thread starts.
thread_local bool held = false;

// fork() in another thread while one is inside scrypt() would give the child
// a lock that nobody there can release, and buffers in the middle of a
// derivation.  So fork() takes the lock first (it waits for a call in
// progress to end), and both processes release it afterwards: the child is a
// copy of the forking thread, which holds it there too.  The forking thread
// never holds the lock already: the library does not fork, and the handler
// runs with the lock released.
void before_fork() {
    pthread_mutex_lock(&lock);
}

void after_fork() {
    pthread_mutex_unlock(&lock);
}

// Registered before main(), so that the registration's own bookkeeping is
// never part of a call, and no fork() can come before it.
__attribute__((constructor)) void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork, after_fork);
}

}  // namespace

extern "C" {

void scrypt_lock(void) {
    pthread_mutex_lock(&lock);
    held = true;
}

void scrypt_unlock(void) {
    held = false;
    pthread_mutex_unlock(&lock);
}

bool scrypt_lock_held(void) {
    return held;
}

}  // extern "C"
