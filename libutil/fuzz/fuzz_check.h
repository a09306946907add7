// The one check of the fuzz targets: a property that does not hold aborts, which libFuzzer
// records as a finding (and a corpus replay as a failed test).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "fuzz check failed: %s (%s, line %d)\n", #condition, __FILE__,         \
                    __LINE__);                                                                     \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
