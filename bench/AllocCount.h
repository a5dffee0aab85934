// Heap allocations of the bench program, counted by a malloc hook
// (AllocCount.cpp): glibc's malloc family is replaced by counting wrappers
// around its own entry points. Elsewhere the count stays at zero and
// Counted() says so.
#pragma once

#include <cstdint>

namespace green::bench {

// True when the hook is in place.
bool AllocCounted();
// Calls to malloc, calloc, realloc and the aligned allocators so far.
uint64_t AllocCount();

}  // namespace green::bench
