// Section: the hexlines benchmark, a separate program run at the end.
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"

extern char **environ;

namespace {

void section_hexlines() {
#ifdef SCRYPT_BENCH_HEXLINES
    const char *path = SCRYPT_BENCH_HEXLINES;
    if (access(path, X_OK) != 0) {
        printf("   %s is not built\n", path);
        return;
    }
    fflush(stdout);
    char *argv[] = {(char *)"hexlines_bench", nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        printf("   could not start %s\n", path);
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        printf("   hexlines_bench failed (status %d)\n", status);
#else
    printf("   not built: bench/hexlines is missing from this tree\n");
#endif
}

}  // namespace

BENCH_SECTION(50, "hexlines", "hexlines throughput", section_hexlines)
