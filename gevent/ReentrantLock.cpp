#include "gevent/ReentrantLock.h"

#include "gc/PasMP.h"

namespace green {

// Any per-thread address identifies the thread, without a system call.
uintptr_t TReentrantLock::Self() {
  thread_local char tag;
  return reinterpret_cast<uintptr_t>(&tag);
}

bool TReentrantLock::TryClaim(uintptr_t Me) {
  uintptr_t free = 0;
  return FOwner.compare_exchange_strong(free, Me, std::memory_order_seq_cst);
}

void TReentrantLock::Acquire() {
  const uintptr_t me = Self();
  if (FOwner.load(std::memory_order_relaxed) == me) {
    ++FDepth;
    return;
  }
  for (int i = 0; i < kSpins; ++i) {
    if (FOwner.load(std::memory_order_relaxed) == 0 && TryClaim(me)) {
      FDepth = 1;
      return;
    }
    TPasMP::Relax();
  }
  std::unique_lock<std::mutex> lock(FMutex);
  FSleepers.fetch_add(1, std::memory_order_seq_cst);
  while (!TryClaim(me)) FWake.wait(lock);
  FSleepers.fetch_sub(1, std::memory_order_relaxed);
  FDepth = 1;
}

// A sleeper registers before its last claim attempt and the owner looks
// for sleepers after freeing the word (both sequentially consistent), so
// one of them always sees the other.
void TReentrantLock::Release() {
  if (--FDepth > 0) return;
  FOwner.store(0, std::memory_order_seq_cst);
  if (FSleepers.load(std::memory_order_seq_cst) > 0) {
    std::lock_guard<std::mutex> lock(FMutex);
    FWake.notify_one();
  }
}

}  // namespace green
