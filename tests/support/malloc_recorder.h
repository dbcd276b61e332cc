// Every malloc and free the process makes while a test watches, seen from
// outside the library.  The binary is linked with -Wl,--wrap=malloc
// -Wl,--wrap=free and exactly one of its sources includes this header (it
// defines the two wrappers).  Events are appended to fixed storage without a
// lock, from any thread: recording never allocates, and a fork() may come at
// any moment.
#pragma once

#include <pthread.h>
#include <stddef.h>

#include <algorithm>
#include <atomic>
#include <vector>

extern "C" void *__real_malloc(size_t);
extern "C" void __real_free(void *);

namespace malloc_recorder {

struct event {
    char kind;  // 'm' malloc, 'f' free (of a non-null pointer)
    size_t size;
    void *ptr;
    pthread_t thread;
};

// Where the watched blocks come from.  By default from the real malloc; a
// test may hand out blocks of its own (say, deliberately misaligned ones):
// `allocate` then serves every watched malloc, and `release` is offered every
// free, watched or not, and returns true when the block was one of its own.
struct source {
    void *(*allocate)(size_t) = nullptr;
    bool (*release)(void *) = nullptr;
};

constexpr size_t capacity = 1 << 14;
inline event events[capacity];
inline std::atomic<size_t> count{0};  // events recorded so far (may pass capacity)
inline std::atomic<bool> watching{false};
inline source blocks;

inline void add(char kind, size_t size, void *ptr) {
    const size_t i = count.fetch_add(1);
    if (i < capacity) events[i] = {kind, size, ptr, pthread_self()};
}

// The events recorded since `from` (a value of `count`), optionally only
// those of `thread`.
inline std::vector<event> recorded(size_t from, const pthread_t *thread = nullptr) {
    std::vector<event> v;
    const size_t n = std::min(count.load(), capacity);
    for (size_t i = from; i < n; i++)
        if (!thread || pthread_equal(events[i].thread, *thread)) v.push_back(events[i]);
    return v;
}

}  // namespace malloc_recorder

extern "C" void *__wrap_malloc(size_t n) {
    using namespace malloc_recorder;
    if (!watching) return __real_malloc(n);
    void *p = blocks.allocate ? blocks.allocate(n) : __real_malloc(n);
    add('m', n, p);
    return p;
}

extern "C" void __wrap_free(void *p) {
    using namespace malloc_recorder;
    if (!p) return;
    if (watching) add('f', 0, p);
    if (blocks.release && blocks.release(p)) return;
    __real_free(p);
}
