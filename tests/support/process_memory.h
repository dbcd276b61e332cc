// What a test process sees of its own memory and of valgrind.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

// The process's address space (which = 0) or resident set (which = 1) in
// bytes, from /proc/self/statm; 0 if it cannot be read.
inline uint64_t statm_bytes(int which) {
    FILE *f = fopen("/proc/self/statm", "r");
    unsigned long pages[2] = {0, 0};
    if (f) {
        if (fscanf(f, "%lu %lu", &pages[0], &pages[1]) != 2) pages[0] = pages[1] = 0;
        fclose(f);
    }
    return uint64_t(pages[which]) * (uint64_t)sysconf(_SC_PAGESIZE);
}

inline uint64_t address_space_in_use() {
    return statm_bytes(0);
}

inline uint64_t resident_bytes() {
    return statm_bytes(1);
}
