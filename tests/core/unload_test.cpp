// Unloading: a shared object that links the archive is opened, derives
// through both entry points (on this thread, on a thread that exits, and on
// one that stays alive past the unload) and is closed again, many times over.
// Every buffer is released at each dlclose() (the process's resident memory
// stays flat, where a leak would add 64 MiB a round), and no thread that
// exits after the unload calls a destructor into the unloaded code (which
// would crash).  In a child process, so that the figures are this test's
// alone.  (This program does not link the library; it takes the statuses
// from the header.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/child.h"
#include "support/openssl_scrypt.h"
#include "support/process_memory.h"

namespace {

using bytes = std::vector<uint8_t>;
using derive_key_fn = int (*)(uint64_t, uint32_t, uint32_t, uint8_t *, size_t);
using scrypt_fn = void (*)(uint8_t, uint8_t, uint8_t, uint8_t *, size_t);

// 16 MiB of table each: N = 16384, r = 8, p = 1 (Nfactor 13, rfactor 3).
constexpr uint64_t N = 16384;
constexpr uint32_t r = 8, p = 1;

TEST(Unload, BuffersAreReleasedAndNoDestructorOutlivesTheCode) {
#ifdef SCRYPT_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine, so resident memory grows";
#endif
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind's allocator holds freed blocks back";
    const auto want = openssl_scrypt_nrp("unload", "salt", N, r, p, 32);
    ASSERT_TRUE(want);
    const child_result c = in_child([&] {
        alarm(300);
        constexpr unsigned rounds = 12, warm_up = 3;
        std::vector<uint64_t> resident;
        for (unsigned round = 0; round < rounds; round++) {
            void *module = dlopen(UNLOAD_MODULE, RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                fprintf(stderr, "dlopen: %s\n", dlerror());
                return 1;
            }
            const auto derive_key = (derive_key_fn)dlsym(module, "module_derive_key");
            const auto scrypt = (scrypt_fn)dlsym(module, "module_scrypt");
            if (!derive_key || !scrypt) return 2;
            auto right = [&] {
                bytes a(32), b(32);
                scrypt(13, 3, 0, a.data(), a.size());
                return derive_key(N, r, p, b.data(), b.size()) == SCRYPT_OK && a == *want &&
                       b == *want;
            };
            bool ok = right();
            std::thread([&] { ok &= right(); }).join();
            // A thread that derives and then waits, outside the module, until
            // the module is gone, and only then exits.
            std::atomic<int> stage{0};
            std::thread parked([&] {
                bytes b(32);
                ok &= derive_key(N, r, p, b.data(), b.size()) == SCRYPT_OK && b == *want;
                stage = 1;
                while (stage != 2) usleep(1000);
            });
            while (stage != 1) usleep(1000);
            if (!ok) return 3;
            dlclose(module);
            // Truly unloaded: nothing keeps the module loaded.
            if (void *still = dlopen(UNLOAD_MODULE, RTLD_NOW | RTLD_NOLOAD)) {
                dlclose(still);
                return 4;
            }
            stage = 2;
            parked.join();
            resident.push_back(resident_bytes());
        }
        uint64_t low = UINT64_MAX, high = 0;
        fprintf(stderr, "resident after each round (MiB):");
        for (unsigned i = 0; i < rounds; i++) {
            fprintf(stderr, " %.1f", resident[i] / 1048576.0);
            if (i < warm_up) continue;
            low = std::min(low, resident[i]);
            high = std::max(high, resident[i]);
        }
        fprintf(stderr, "\n");
        // A round holds 64 MiB of buffers at its peak; what one leaked would
        // show many times over.
        return high - low < (uint64_t(24) << 20) ? 0 : 5;
    });
    ASSERT_TRUE(c.exited) << "the child was killed (a destructor into unloaded code?)\n"
                          << c.output;
    EXPECT_EQ(c.status, 0) << "1, 2: the module did not load; 3: a wrong key; 4: dlclose() did "
                              "not unload the module; 5: resident memory grew\n"
                           << c.output;
    printf("%s", c.output.c_str());
}

}  // namespace
