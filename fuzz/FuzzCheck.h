#pragma once

#include <cstdio>
#include <cstdlib>

// Ends the run with the broken invariant's name; libFuzzer keeps the input.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}
