// Per-thread free lists of heap blocks by size class, for objects that are
// made and freed at a high rate on one thread (greenlets): in steady state
// such an object costs no call into the allocator and reuses memory that is
// still in the cache.
#pragma once

#include <cstddef>

namespace green {

// Blocks of up to kMaxCachedBlock bytes come from and go back to the calling
// thread's lists; larger ones, and every block under a memory checker or on
// Windows, go straight to the global operator new and delete. A block may be freed on
// another thread than the one that took it: it joins that thread's lists.
constexpr size_t kMaxCachedBlock = 1024;
void* TakeBlock(size_t Size);
void GiveBlock(void* Block, size_t Size) noexcept;

// The class-specific allocation functions of an object that uses the cache:
// a virtual destructor hands the dynamic type's size to the sized delete.
#define GREEN_BLOCK_CACHED                                                          \
  static void* operator new(size_t Size) { return ::green::TakeBlock(Size); }      \
  static void operator delete(void* P, size_t Size) noexcept { ::green::GiveBlock(P, Size); }

}  // namespace green
