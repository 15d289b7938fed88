// A fuzz target's invariant: when it fails, say which and where, then trap so
// that libFuzzer keeps the input.
#pragma once

#include <cstdio>

#define CHECK(cond)                                                                     \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                           \
        }                                                                               \
    } while (0)
