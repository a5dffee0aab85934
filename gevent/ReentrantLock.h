// A re-entrant lock that spins before it blocks: gevent locks are held for a
// few instructions, so a short spin usually wins without a kernel call.
// The owner word's low bit tells that a thread sleeps on the lock, so that a
// release without sleepers touches nothing after it frees the word (the
// next owner may destroy the lock at once). A release that wakes sleepers
// does touch it afterwards; the destructor waits until such a wake-up is
// over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace green {

class TReentrantLock {
 public:
  static constexpr int kSpins = 4000;

  TReentrantLock() = default;
  ~TReentrantLock();
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
  int32_t FSleeping = 0;  // guarded by FMutex
  std::atomic<int32_t> FWaking{0};  // releases still waking sleepers
  std::mutex FMutex;
  std::condition_variable FWake;
};

}  // namespace green
