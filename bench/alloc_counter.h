// Counts every heap allocation of a program that links alloc_counter.cpp
// (which replaces the global operator new and delete). For bench programs
// only.
#pragma once

#include <cstdint>

namespace dialscope::bench {

// Allocations made so far by any thread.
uint64_t AllocationCount();

}  // namespace dialscope::bench
