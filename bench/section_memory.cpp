// Section: peak memory of one cold derivation per factor set beside its
// floor, measured in fresh processes.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench.h"

namespace {

using namespace bench;

// A "Vm...:" figure of /proc/self/status, in KiB; -1 when unreadable.
long status_kib(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0 && line[n] == ':') kib = atol(line + n + 1);
    fclose(f);
    return kib;
}

// In a fresh process: peak resident memory that one cold derivation with
// factors "N r p" adds to a resting process (self-test already done),
// "rest_kib peak_kib reset_ok".  The kernel's high-water mark (VmHWM, which
// getrusage reports as ru_maxrss) is reset to the current resident size
// first, so that the self-test's own buffers do not count.  It is read from
// /proc rather than from getrusage because ru_maxrss also keeps the peak of
// the image that exec replaced, and this process was spawned from the
// benchmark's own, which held large tables.
int child_peak(int argc, char **argv) {
    if (argc < 3) return 2;
    const factor_set f = {uint8_t(atoi(argv[0])), uint8_t(atoi(argv[1])), uint8_t(atoi(argv[2]))};
    uint8_t out[out_len];
    library_derive(other_than(f), out);
    int reset_ok = 0;
    const int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0) {
        reset_ok = write(fd, "5", 1) == 1;
        close(fd);
    }
    const long rest = status_kib("VmRSS");
    library_derive(f, out);
    const long peak = status_kib("VmHWM");
    printf("%ld %ld %d\n", rest, peak, reset_ok && rest >= 0 && peak >= 0);
    return 0;
}

void section_memory() {
    printf("   %-11s %14s %14s %14s  %s\n", "(N,r,p)f", "floor", "peak rise", "limit", "goal");
    for (const factor_set &f : sets) {
        const std::string text = run_child({"peak", std::to_string(f.Nfactor),
                                            std::to_string(f.rfactor), std::to_string(f.pfactor)});
        long rest, peak;
        int reset_ok;
        char label[32];
        snprintf(label, sizeof label, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        if (sscanf(text.c_str(), "%ld %ld %d", &rest, &peak, &reset_ok) != 3 || !reset_ok) {
            printf("   %-11s could not measure (child failed or peak reset refused)\n", label);
            continue;
        }
        const double floor = double(f.floor_bytes());
        const double rise = double(peak - rest) * 1024;
        const double limit = floor * 1.01 + 1024 * 1024;
        printf("   %-11s %14s %14s %14s  %s\n", label, fmt_bytes(floor).c_str(),
               fmt_bytes(rise).c_str(), fmt_bytes(limit).c_str(), rise <= limit ? "met" : "MISSED");
        fflush(stdout);
    }
    printf(
        "\n   floor: N*128*r + (p+1)*128*r.  peak rise: the kernel's resident high-water mark\n"
        "   (VmHWM, i.e. ru_maxrss, reset first) less the resident size before the call.\n"
        "   limit: floor + 1 %% + 1 MiB.  A rise below the floor means the allocator reused\n"
        "   heap pages that were already resident.\n\n");
}

}  // namespace

BENCH_CHILD("peak", child_peak)
BENCH_SECTION(40, "memory",
              "Peak memory of one cold derivation (fresh process, after its self-test)",
              section_memory)
