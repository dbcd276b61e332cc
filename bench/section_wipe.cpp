// Section: the cost of the wipe that ends every derivation, A/B in one run
// (a separate program, wipe_bench, built against the test-only objects whose
// wipe can be switched off).
#include <stdio.h>

#include "bench.h"

namespace {

using namespace bench;

void section_wipe() {
#ifdef SCRYPT_BENCH_WIPE
    run_program(SCRYPT_BENCH_WIPE, "wipe_bench");
#else
    printf("   not built\n\n");
#endif
}

}  // namespace

BENCH_SECTION(45, "wipe", "The wipe's cost: steady derivations with it and without it, interleaved",
              section_wipe)
