// Work buffers that outlive a call: one set per thread for
// scrypt_derive_key(), so that threads derive at the same time, and one set
// shared by every scrypt() call, which its lock serialises.  A set is reused
// while the parameters stay the same, so a repeated call takes no page
// fault, and released when the thread that owns it exits, when the library
// is unloaded (or the process ends), and, in a forked child, when it belongs
// to a thread that the child does not have.
//
// Every set in use is linked into one registry behind a mutex.  Nothing runs
// when the library is loaded: the release at unload is registered with
// atexit() by the first derivation (from a shared object, atexit() handlers
// run at dlclose()), and the thread-exit release is a POSIX thread-specific
// key made at the same time.
#ifndef SCRYPT_VORNIK_CACHE_H
#define SCRYPT_VORNIK_CACHE_H

#include <pthread.h>

#include "derive.h"
#include "internal.h"

SCRYPT_PRIVATE_BEGIN

typedef struct work_cache {
    work_buffers work;
    // The registry's bookkeeping, read and written under its mutex.
    struct work_cache *prev, *next;
    bool linked;             // in the registry
    bool busy;               // a derivation is working in `work`
    bool release_when_idle;  // the library was unloaded meanwhile
    bool keep;               // kept between calls (false: released after each)
    bool per_thread;         // owned by thread `owner`
    pthread_t owner;
} work_cache;

// The calling thread's set.
work_cache *scrypt_thread_cache(void);

// scrypt()'s set; its callers serialise their use of it.
extern work_cache scrypt_shared_cache;

// Marks `cache` in use by a derivation (and links it into the registry on
// its first use), and no longer in use.
void scrypt_cache_begin(work_cache *cache);
void scrypt_cache_end(work_cache *cache);

// scrypt_derive_in() on the buffers of `cache`, which no other derivation may
// use meanwhile.  Inline, so that the derivation runs one frame below the
// caller, as it would without a cache: the stack that a call leaves behind
// (and clears) is the same for every entry point.
static inline derive_status scrypt_derive_cached(work_cache *cache, const uint8_t *password,
                                                 size_t password_len, const uint8_t *salt,
                                                 size_t salt_len, uint64_t N, uint32_t r,
                                                 uint32_t p, uint8_t *out, size_t out_len,
                                                 romix_function romix) {
    scrypt_cache_begin(cache);
    const derive_status status = scrypt_derive_in(&cache->work, password, password_len, salt,
                                                  salt_len, N, r, p, out, out_len, romix);
    scrypt_cache_end(cache);
    return status;
}

// Registers the registry's fork handlers, once.  Each entry point calls it
// before it takes any lock of its own, so that the registry's handler is the
// last to run before fork() (handlers run in the reverse order of their
// registration) and holds its mutex only across fork() itself, never while
// another handler waits for a call in progress to end.
void scrypt_cache_setup(void);

SCRYPT_PRIVATE_END

#endif
