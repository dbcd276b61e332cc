// Section: the hexlines benchmark, a separate program run at the end.
#include <stdio.h>

#include "bench.h"

namespace {

using namespace bench;

void section_hexlines() {
#ifdef SCRYPT_BENCH_HEXLINES
    run_program(SCRYPT_BENCH_HEXLINES, "hexlines_bench");
#else
    printf("   not built: bench/hexlines is missing from this tree\n");
#endif
}

}  // namespace

BENCH_SECTION(50, "hexlines", "hexlines throughput", section_hexlines)
