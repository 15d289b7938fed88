// splitmix64: a small, fast, seedable generator for tests, benchmarks and
// fuzz targets that must replay the same choices for the same seed.
#pragma once

#include <cstdint>

namespace dialscope::testing {

struct SplitMix64 {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + static_cast<uint32_t>(Next() % (hi - lo + 1)); }
};

}  // namespace dialscope::testing
