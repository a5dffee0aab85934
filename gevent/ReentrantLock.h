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

  void Acquire();
  void Release();
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  static constexpr uintptr_t kSleepers = 1;
  static uintptr_t Self();
  void Sleep(uintptr_t Me);

  std::atomic<uintptr_t> FOwner{0};
  uint32_t FDepth = 0;
};

}  // namespace green
