// The gevent lock under contention: mutual exclusion, re-entry, and no lost
// wake-up for threads that went to sleep on it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "gevent/ReentrantLock.h"

namespace green {
namespace {

TEST(ReentrantLock, ExcludesAndReentersUnderContention) {
  TReentrantLock lock;
  int64_t counter = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<TReentrantLock> outer(lock);
        std::lock_guard<TReentrantLock> inner(lock);
        // Long enough inside for the others to give up spinning and sleep.
        if (i % 1000 == 0) std::this_thread::yield();
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, int64_t(kThreads) * kRounds);
}

TEST(ReentrantLock, MayBeDestroyedRightAfterTheLastRelease) {
  for (int round = 0; round < 200; ++round) {
    auto* lock = new TReentrantLock;
    lock->Acquire();
    std::thread other([lock] {
      lock->Acquire();
      lock->Release();
      delete lock;
    });
    lock->Release();
    other.join();
  }
}

}  // namespace
}  // namespace green
