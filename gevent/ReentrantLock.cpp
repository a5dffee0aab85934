#include "gevent/ReentrantLock.h"

#include "gc/PasMP.h"
#include "platform/AddressWait.h"

namespace green {

thread_local constinit uint64_t TReentrantLock::Tag = 0;

// Spins a while for the word to come free, then sleeps on it.
void TReentrantLock::Contend(uintptr_t Me) {
  for (int I = 0; I < kSpins; ++I) {
    uintptr_t Free = 0;
    if (FOwner.load(std::memory_order_relaxed) == 0 &&
        FOwner.compare_exchange_strong(Free, Me, std::memory_order_seq_cst)) {
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
    uintptr_t V = FOwner.load(std::memory_order_acquire);
    if (V == 0) {
      if (FOwner.compare_exchange_strong(V, Me | kSleepers, std::memory_order_seq_cst)) return;
      continue;
    }
    if (!(V & kSleepers) &&
        !FOwner.compare_exchange_strong(V, V | kSleepers, std::memory_order_acq_rel))
      continue;
    os::WaitOnWord(FOwner, V | kSleepers);
  }
}

// Reached with the word held by this thread and sleepers marked on it.
void TReentrantLock::WakeSleepers() {
  FOwner.store(0, std::memory_order_release);
  os::WakeWord(FOwner);
}

}  // namespace green
