#include "gevent/ReentrantLock.h"

#include "gc/PasMP.h"
#include "platform/AddressWait.h"

namespace green {

thread_local constinit uint64_t TReentrantLock::Tag = 0;

// Spins a while for the word to come free, then sleeps on it.
void TReentrantLock::Contend(uintptr_t Me) {
  for (int i = 0; i < kSpins; ++i) {
    uintptr_t free = 0;
    if (FOwner.load(std::memory_order_relaxed) == 0 &&
        FOwner.compare_exchange_strong(free, Me, std::memory_order_acquire)) {
      FDepth = 1;
      return;
    }
    TPasMP::Relax();
  }
  Sleep(Me);
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

// Reached with the word held by this thread and sleepers marked on it.
void TReentrantLock::WakeSleepers() {
  FOwner.store(0, std::memory_order_release);
  os::WakeWord(FOwner);
}

}  // namespace green
