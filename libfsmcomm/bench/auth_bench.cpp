#include "libfsmcomm/auth.h"

#include <benchmark/benchmark.h>

#include <cstring>

// One digest per name-server connection: two MD5 compressions.
static void BM_AuthDigest(benchmark::State &state) {
    const char line[] = "Veltrane0Shared1Secret2Line3With4Many5Letters6And7Digits8Here9XY";
    uint32_t key[AUTH_KEY_WORDS];
    auth_key_from_line(line, strlen(line), key);
    uint32_t x = 1, digest[4];
    for (auto _ : state) {
        auth_digest_keyed(key, x++, 0x9ABCDEF0, digest);
        benchmark::DoNotOptimize(digest);
    }
}
BENCHMARK(BM_AuthDigest);
