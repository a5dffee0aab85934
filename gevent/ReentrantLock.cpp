#include "gevent/ReentrantLock.h"

#include <thread>

#include "gc/PasMP.h"

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
// freed the word, and then the claim succeeds.
void TReentrantLock::Sleep(uintptr_t Me) {
  std::unique_lock<std::mutex> lock(FMutex);
  ++FSleeping;
  for (;;) {
    uintptr_t v = FOwner.load(std::memory_order_acquire);
    if (v == 0) {
      const uintptr_t claim = Me | (FSleeping > 1 ? kSleepers : 0);
      if (FOwner.compare_exchange_strong(v, claim, std::memory_order_acquire)) break;
      continue;
    }
    if (!(v & kSleepers) &&
        !FOwner.compare_exchange_strong(v, v | kSleepers, std::memory_order_acq_rel))
      continue;
    FWake.wait(lock);
  }
  --FSleeping;
}

// With sleepers, the word is freed and they are woken under their mutex,
// and the wake-up is counted: whoever takes the lock next may destroy it
// before this thread is done with the mutex and the condition.
void TReentrantLock::Release() {
  if (--FDepth > 0) return;
  uintptr_t v = FOwner.load(std::memory_order_relaxed);
  if (!(v & kSleepers) &&
      FOwner.compare_exchange_strong(v, 0, std::memory_order_release, std::memory_order_relaxed))
    return;
  FWaking.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FOwner.store(0, std::memory_order_release);
    FWake.notify_all();
  }
  FWaking.fetch_sub(1, std::memory_order_release);
}

TReentrantLock::~TReentrantLock() {
  while (FWaking.load(std::memory_order_acquire) > 0) std::this_thread::yield();
}

}  // namespace green
