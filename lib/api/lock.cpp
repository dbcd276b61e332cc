// Built from the C library's POSIX mutex and condition variable: no C++
// runtime, and statically initialised, so taking the lock allocates nothing.
#include "lock.h"

#include <pthread.h>

namespace {

// A queue lock: callers are served in the order they asked, each handing
// the lock straight to the next.  A plain mutex lets the thread that has
// just released it take it straight back, so a thread that derives in a
// loop could starve every other caller (and fork() in another thread, which
// waits for the lock) indefinitely.  Each waiter is a node on its own stack,
// so that one cancelled while it waits can unlink itself.  `guard` protects
// the queue and is held only for a few instructions.
struct waiter {
    waiter *next;
    bool granted;  // the lock has been handed to this waiter
};

pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turn = PTHREAD_COND_INITIALIZER;
bool busy = false;  // someone holds the lock
waiter *head = nullptr, *tail = nullptr;
// Per thread, constant-initialised, so no code runs when a thread starts:
// whether this thread holds the lock, and whether it holds it for fork()
// (from the prepare handler to the parent's or the child's).
thread_local bool held = false;
thread_local bool forking = false;
thread_local int fork_cancel_state;

// With `guard` held: the lock goes to the first waiter, or is free.
void hand_on() {
    waiter *const w = head;
    if (w == nullptr) {
        busy = false;
        return;
    }
    head = w->next;
    if (head == nullptr) tail = nullptr;
    w->granted = true;
    pthread_cond_broadcast(&turn);
}

// The cancellation clean-up of a waiter (cancelled inside pthread_cond_wait,
// which has taken `guard` again): a waiter still queued unlinks itself; one
// that was handed the lock just as it was cancelled hands it on.  Either way
// the queue is left as if it had never come.
void withdraw(void *arg) {
    waiter *const self = (waiter *)arg;
    if (self->granted) {
        hand_on();
    } else {
        waiter *before = nullptr;
        for (waiter *w = head; w != self; w = w->next) before = w;
        (before ? before->next : head) = self->next;
        if (tail == self) tail = before;
    }
    pthread_mutex_unlock(&guard);
}

void take(bool cancellable) {
    pthread_mutex_lock(&guard);
    if (!busy) {
        busy = true;
        pthread_mutex_unlock(&guard);
        return;
    }
    waiter self = {nullptr, false};
    (tail ? tail->next : head) = &self;
    tail = &self;
    if (cancellable) {
        // Cancellation is deferred here (scrypt_call_begin()), so the wait
        // is the only point at which it acts.
        int ignored;
        pthread_cleanup_push(withdraw, &self);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &ignored);
        while (!self.granted) pthread_cond_wait(&turn, &guard);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
        pthread_cleanup_pop(0);
    } else {
        while (!self.granted) pthread_cond_wait(&turn, &guard);
    }
    pthread_mutex_unlock(&guard);
}

void give() {
    pthread_mutex_lock(&guard);
    hand_on();
    pthread_mutex_unlock(&guard);
}

// fork() in another thread while one is inside scrypt() would give the child
// a lock that nobody there can release, and buffers in the middle of a
// derivation.  So fork() takes its turn like any caller (it waits for the
// call in progress, and for those queued before it), with cancellation off,
// and holds `guard` across the fork so that no thread is half-way through
// the queue.  The parent then lets the queue go on; the child, whose only
// thread is the forking one (which holds `guard` there too), starts afresh
// with nobody queued.  The forking thread never holds the lock already: the
// library does not fork, and the handler runs with the lock released.
//
// The host's own fork handlers run before or after these, by the order of
// registration: a prepare handler registered before the library's, and a
// parent or child handler registered after it, run while the forking thread
// holds the lock.  Their calls find `forking` set and go ahead under the
// lock that their thread holds already (nobody else can be inside).
void before_fork() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &fork_cancel_state);
    take(false);
    pthread_mutex_lock(&guard);
    forking = true;
}

void after_fork_parent() {
    forking = false;
    pthread_mutex_unlock(&guard);
    give();
    int ignored;
    pthread_setcancelstate(fork_cancel_state, &ignored);
}

void after_fork_child() {
    forking = false;
    busy = false;
    head = tail = nullptr;
    // The threads that waited in the parent do not exist here; the condition
    // variable may still count them, so it starts afresh.
    pthread_cond_init(&turn, nullptr);
    pthread_mutex_unlock(&guard);
    int ignored;
    pthread_setcancelstate(fork_cancel_state, &ignored);
}

// Registered by the first call that takes the lock, before it queues:
// nothing runs when the library is loaded, and a fork() before that first
// call finds no lock held.  fork() and the registration are serialised by
// the C library.
pthread_once_t fork_handlers = PTHREAD_ONCE_INIT;

void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

void lock(bool cancellable) {
    pthread_once(&fork_handlers, register_fork_handlers);
    if (!forking) take(cancellable);
    held = true;
}

}  // namespace

extern "C" {

void scrypt_lock_entry(const scrypt_call *call) {
    lock(scrypt_call_cancellable(call));
}

void scrypt_lock(void) {
    lock(false);
}

void scrypt_unlock(void) {
    held = false;
    if (!forking) give();
}

bool scrypt_lock_held(void) {
    return held;
}

}  // extern "C"
