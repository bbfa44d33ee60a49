#pragma once

#include <cstdlib>

// Fails the run the way libFuzzer reports a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            std::abort();                                                                          \
    } while (false)
