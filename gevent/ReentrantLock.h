// A re-entrant lock that spins before it blocks: gevent locks are held for a
// few instructions, so a short spin usually wins without a kernel call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace green {

class TReentrantLock {
 public:
  static constexpr int kSpins = 4000;

  void Acquire();
  void Release();
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  static uintptr_t Self();
  bool TryClaim(uintptr_t Me);

  std::atomic<uintptr_t> FOwner{0};
  uint32_t FDepth = 0;
  std::atomic<int32_t> FSleepers{0};
  std::mutex FMutex;
  std::condition_variable FWake;
};

}  // namespace green
