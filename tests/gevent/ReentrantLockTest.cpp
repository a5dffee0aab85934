// The gevent lock under contention: mutual exclusion, re-entry, and no lost
// wake-up for threads that went to sleep on it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "gevent/ReentrantLock.h"

namespace green {
namespace {

TEST(ReentrantLock, ExcludesAndReentersUnderContention) {
  TReentrantLock Lock;
  int64_t Counter = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> Threads;
  for (int T = 0; T < kThreads; ++T)
    Threads.emplace_back([&] {
      for (int I = 0; I < kRounds; ++I) {
        std::lock_guard<TReentrantLock> Outer(Lock);
        std::lock_guard<TReentrantLock> Inner(Lock);
        // Long enough inside for the others to give up spinning and sleep.
        if (I % 1000 == 0) std::this_thread::yield();
        ++Counter;
      }
    });
  for (auto& T : Threads) T.join();
  EXPECT_EQ(Counter, int64_t(kThreads) * kRounds);
}

TEST(ReentrantLock, MayBeDestroyedRightAfterTheLastRelease) {
  for (int Round = 0; Round < 200; ++Round) {
    auto* Lock = new TReentrantLock;
    Lock->Acquire();
    std::thread Other([Lock] {
      Lock->Acquire();
      Lock->Release();
      delete Lock;
    });
    Lock->Release();
    Other.join();
  }
}

}  // namespace
}  // namespace green
