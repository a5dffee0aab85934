// Lets threads start their racing work at the same moment. std::latch is not
// used: its wait loses wake-ups with the mingw-w64 thread library (seen
// under Wine as a thread blocked for good in latch::wait).
#pragma once

#include <atomic>
#include <thread>

namespace green {

class TStartLine {
 public:
  explicit TStartLine(int Threads) : FWaiting(Threads) {}
  void arrive_and_wait() {
    FWaiting.fetch_sub(1, std::memory_order_acq_rel);
    while (FWaiting.load(std::memory_order_acquire) > 0) std::this_thread::yield();
  }

 private:
  std::atomic<int> FWaiting;
};

}  // namespace green
