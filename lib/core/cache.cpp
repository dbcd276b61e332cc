// The registry of work buffers.  Built from the C library's POSIX mutex and
// thread-specific keys, statically initialised: nothing here runs before the
// first derivation, and taking the mutex allocates nothing.
#include "cache.h"

#include <stdlib.h>

namespace {

// Guards the list and every record's bookkeeping.  Held only for a few
// instructions at the start and end of a derivation (buffers are released
// after it is let go, except at unload), so threads that derive at the same
// time meet here only briefly.
pthread_mutex_t registry = PTHREAD_MUTEX_INITIALIZER;
work_cache *first = nullptr;
pthread_key_t thread_key;
bool key_made = false;
bool release_registered = false;
// The release at unload has begun: no set is linked into the registry again
// (one used afterwards is released after its call), so that threads still
// deriving while the process ends cannot keep exit() busy.
bool released_at_end = false;
// In a child of fork(): the sets of the parent's other threads, unlinked by
// the child's handler but not released there (the handler must not call
// free(): an allocator may be usable in the child only once the handlers
// have run), chained through `next`.  The child's next derivation, or the
// release at the end, releases them.
work_cache *orphans = nullptr;

// Each thread's own set; constant-initialised, so no code runs when a thread
// starts, and a thread that never derives costs nothing but these bytes.
thread_local work_cache own = {};
// Whether this thread holds the mutex for fork() (from the prepare handler to
// the parent's or the child's): the host's own fork handlers may derive
// meanwhile, on this thread, under the mutex it holds already.
thread_local bool forking = false;

void lock_registry() {
    if (!forking) pthread_mutex_lock(&registry);
}

void unlock_registry() {
    if (!forking) pthread_mutex_unlock(&registry);
}

void link(work_cache *c) {
    c->prev = nullptr;
    c->next = first;
    if (first) first->prev = c;
    first = c;
    c->linked = true;
}

void unlink(work_cache *c) {
    if (c->prev)
        c->prev->next = c->next;
    else
        first = c->next;
    if (c->next) c->next->prev = c->prev;
    c->prev = c->next = nullptr;
    c->linked = false;
}

// Moves the buffers out of `c`, to be released once the mutex is let go.
work_buffers take(work_cache *c) {
    const work_buffers w = c->work;
    c->work = work_buffers{};
    return w;
}

// Releases sets taken off `orphans`, with the mutex let go: their threads
// do not exist in this process, so nothing else can reach them.
void release_orphans(work_cache *c) {
    while (c) {
        work_cache *next = c->next;
        c->next = nullptr;
        work_buffers w = take(c);
        scrypt_release_work(&w);
        c = next;
    }
}

// At unload (atexit() handlers of a shared object run at dlclose()) or at
// process end: every set is released, and the key is deleted, so that no
// thread that exits later calls a destructor in code that is gone.  A set in
// use (another thread is deriving while the process ends) is released by
// that derivation when it ends.
void release_everything() {
    lock_registry();
    work_cache *left = orphans;
    orphans = nullptr;
    unlock_registry();
    release_orphans(left);
    lock_registry();
    // From here on no set is linked again (scrypt_cache_begin()), so the
    // loop ends although it lets the mutex go for each release.
    released_at_end = true;
    while (first) {
        work_cache *c = first;
        unlink(c);
        if (c->busy) {
            c->release_when_idle = true;
            continue;
        }
        // Released with the mutex let go, as everywhere.
        work_buffers w = take(c);
        unlock_registry();
        scrypt_release_work(&w);
        lock_registry();
    }
    if (key_made) pthread_key_delete(thread_key);
    key_made = false;
    release_registered = false;
    unlock_registry();
}

// The key's destructor: the thread that owns `value` is exiting.
void thread_exits(void *value) {
    work_cache *c = (work_cache *)value;
    lock_registry();
    if (c->linked) unlink(c);
    work_buffers w = take(c);
    unlock_registry();
    scrypt_release_work(&w);
}

// fork() with threads: the child has only the forking thread.  The mutex is
// held across fork() so that the list is whole in the child, and there the
// sets of every other thread are unlinked, to be released by the child's
// next derivation: their threads do not exist in the child, and their memory
// would otherwise stay with it for good.  Sets
// that another thread was deriving in hold that derivation's intermediate
// values; they are released without a wipe, as the child holds that
// derivation's password and caller anyway, and zeroing would copy every
// page of them into the child.
void before_fork() {
    pthread_mutex_lock(&registry);
    forking = true;
}

void after_fork_parent() {
    forking = false;
    pthread_mutex_unlock(&registry);
}

void after_fork_child() {
    const pthread_t self = pthread_self();
    for (work_cache *c = first, *next; c != nullptr; c = next) {
        next = c->next;
        if (!c->per_thread || pthread_equal(c->owner, self)) continue;
        unlink(c);
        c->busy = false;
        // The record holds what its thread last put into it under the mutex
        // (scrypt_exchange_work()): buffers that are allocated, or nothing.
        c->next = orphans;
        orphans = c;
    }
    forking = false;
    pthread_mutex_unlock(&registry);
}

pthread_once_t fork_handlers = PTHREAD_ONCE_INIT;

void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

extern "C" {

work_cache scrypt_shared_cache = {};

void scrypt_cache_setup(void) {
    pthread_once(&fork_handlers, register_fork_handlers);
}

void scrypt_cache_begin(work_cache *c) {
    lock_registry();
    work_cache *left = orphans;
    orphans = nullptr;
    if (!c->linked && released_at_end) {
        // The process is ending (or the library going): a set used now is
        // no longer registered, and is released after the call.
        c->keep = false;
    } else if (!c->linked) {
        link(c);
        c->keep = true;
        if (c->per_thread) {
            // Without a key (the process has used up its keys) nothing would
            // release the set when the thread exits, so it is released after
            // every call instead.
            if (!key_made) key_made = pthread_key_create(&thread_key, thread_exits) == 0;
            c->keep = key_made && pthread_setspecific(thread_key, c) == 0;
        }
        if (!release_registered) release_registered = atexit(release_everything) == 0;
    }
    c->busy = true;
    unlock_registry();
    release_orphans(left);
}

void scrypt_cache_end(work_cache *c) {
    lock_registry();
    c->busy = false;
    work_buffers dropped = {};
    if (c->release_when_idle || !c->keep) {
        c->release_when_idle = false;
        if (c->linked) unlink(c);
        dropped = take(c);
    }
    unlock_registry();
    scrypt_release_work(&dropped);
}

void scrypt_exchange_work(work_buffers *work, work_buffers *with) {
    // Only the records the registry may hold take the mutex: buffers of
    // one's own (the self-test's in scrypt_derive_key(), which a host's fork
    // handler holding the mutex may wait for) never need it.
    const bool recorded = work == &own.work || work == &scrypt_shared_cache.work;
    if (recorded) lock_registry();
    const work_buffers held = *work;
    *work = *with;
    *with = held;
    if (recorded) unlock_registry();
}

work_cache *scrypt_thread_cache(void) {
    if (!own.per_thread) {
        own.per_thread = true;
        own.owner = pthread_self();
    }
    return &own;
}

}  // extern "C"
