// A re-entrant lock of one word (and a depth that only the owner touches)
// that spins before it blocks: the locks of the hot paths are held for a
// few instructions, so a short spin usually wins without a kernel call.
// The word holds the owner's tag; its low bit tells that a thread sleeps
// on the lock. A thread that blocks sleeps on the word itself
// (os::WaitOnWord: a futex; the system's address wait on Windows),
// so a lock has no sleeping side of its own until a thread really blocks,
// and a release without sleepers touches nothing after it frees the word
// (the next owner may destroy the lock at once). A release with sleepers
// notifies by the word's address only, which never reads the lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace green {

class TReentrantLock {
 public:
  static constexpr int kSpins = 4000;

  TReentrantLock() = default;
  TReentrantLock(const TReentrantLock&) = delete;
  TReentrantLock& operator=(const TReentrantLock&) = delete;

  // The uncontended paths inline: one compare-exchange each.
  void Acquire() {
    const uintptr_t Me = Self();
    uintptr_t V = FOwner.load(std::memory_order_relaxed);
    if ((V & ~kSleepers) == Me) {
      ++FDepth;
      return;
    }
    if (V != 0 || !FOwner.compare_exchange_strong(V, Me, std::memory_order_seq_cst)) {
      Contend(Me);
      return;
    }
    FDepth = 1;
  }
  void Release() {
    if (--FDepth > 0) return;
    uintptr_t V = FOwner.load(std::memory_order_relaxed);
    if ((V & kSleepers) ||
        !FOwner.compare_exchange_strong(V, 0, std::memory_order_release, std::memory_order_relaxed))
      WakeSleepers();
  }
  void lock() { Acquire(); }
  void unlock() { Release(); }
  // Whether any thread holds the lock. Every claim of the word is
  // sequentially consistent, so a lock-free reader can pair with it
  // (Dekker): see TGevent::FListeners.
  bool Held() const { return FOwner.load(std::memory_order_seq_cst) != 0; }

 private:
  static constexpr uintptr_t kSleepers = 1;
  // Any per-thread address identifies the thread without a system call; an
  // aligned one leaves the low bit free.
  static uintptr_t Self() { return reinterpret_cast<uintptr_t>(&Tag); }
  static thread_local constinit uint64_t Tag;
  void Contend(uintptr_t Me);
  void Sleep(uintptr_t Me);
  void WakeSleepers();

  std::atomic<uintptr_t> FOwner{0};
  uint32_t FDepth = 0;
};

}  // namespace green
