#include "FailingAllocation.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace green::test {
namespace {

// -1: disarmed; otherwise the allocations still allowed to succeed.
thread_local int tAllowed = -1;
thread_local bool tFailed = false;

void* Allocate(std::size_t Size) {
  if (tAllowed == 0) {
    tAllowed = -1;
    tFailed = true;
    throw std::bad_alloc();
  }
  if (tAllowed > 0) --tAllowed;
  if (void* P = std::malloc(Size ? Size : 1)) return P;
  throw std::bad_alloc();
}

// Over-allocates and keeps the block's own address just below the aligned
// pointer, so that aligned blocks come from the same allocator.
void* AllocateAligned(std::size_t Size, std::align_val_t Align) {
  const std::size_t Bound = static_cast<std::size_t>(Align);
  auto* Raw = static_cast<unsigned char*>(Allocate(Size + Bound + sizeof(void*)));
  auto At = reinterpret_cast<std::uintptr_t>(Raw + sizeof(void*));
  At = (At + Bound - 1) & ~(static_cast<std::uintptr_t>(Bound) - 1);
  reinterpret_cast<void**>(At)[-1] = Raw;
  return reinterpret_cast<void*>(At);
}

void FreeAligned(void* P) {
  if (P) std::free(static_cast<void**>(P)[-1]);
}

}  // namespace

void FailAllocationAfter(int Successes) {
  tAllowed = Successes;
  tFailed = false;
}

bool StopFailingAllocations() {
  tAllowed = -1;
  return tFailed;
}

}  // namespace green::test

void* operator new(std::size_t Size) { return green::test::Allocate(Size); }
void* operator new(std::size_t Size, std::align_val_t Align) {
  return green::test::AllocateAligned(Size, Align);
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }
void operator delete(void* P, std::align_val_t) noexcept { green::test::FreeAligned(P); }
void operator delete(void* P, std::size_t, std::align_val_t) noexcept {
  green::test::FreeAligned(P);
}
