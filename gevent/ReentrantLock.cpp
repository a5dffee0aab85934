#include "gevent/ReentrantLock.h"

#include "gc/PasMP.h"

#include "platform/AddressWait.h"

namespace green {


// Any per-thread address identifies the thread without a system call; an
// aligned one leaves the low bit free.
uintptr_t TReentrantLock::Self() {
  thread_local uint64_t tag;
  return reinterpret_cast<uintptr_t>(&tag);
}

void TReentrantLock::Acquire() {
  const uintptr_t me = Self();
  if ((FOwner.load(std::memory_order_relaxed) & ~kSleepers) == me) {
    ++FDepth;
    return;
  }
  for (int i = 0; i < kSpins; ++i) {
    uintptr_t free = 0;
    if (FOwner.load(std::memory_order_relaxed) == 0 &&
        FOwner.compare_exchange_strong(free, me, std::memory_order_acquire)) {
      FDepth = 1;
      return;
    }
    TPasMP::Relax();
  }
  Sleep(me);
  FDepth = 1;
}

// Before it sleeps a thread sets the low bit on the owner's word, so the
// owner's release wakes it; the owner either sees the bit or had already
// freed the word, and then the claim succeeds. A thread that slept claims
// the word with the bit set, since others may still sleep: at worst its
// release wakes nobody.
void TReentrantLock::Sleep(uintptr_t Me) {
  for (;;) {
    uintptr_t v = FOwner.load(std::memory_order_acquire);
    if (v == 0) {
      if (FOwner.compare_exchange_strong(v, Me | kSleepers, std::memory_order_acquire)) return;
      continue;
    }
    if (!(v & kSleepers) &&
        !FOwner.compare_exchange_strong(v, v | kSleepers, std::memory_order_acq_rel))
      continue;
    os::WaitOnWord(FOwner, v | kSleepers);
  }
}

void TReentrantLock::Release() {
  if (--FDepth > 0) return;
  uintptr_t v = FOwner.load(std::memory_order_relaxed);
  if (!(v & kSleepers) &&
      FOwner.compare_exchange_strong(v, 0, std::memory_order_release, std::memory_order_relaxed))
    return;
  FOwner.store(0, std::memory_order_release);
  os::WakeWord(FOwner);
}

}  // namespace green
