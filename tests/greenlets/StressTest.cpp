// Greenlets on several threads that sleep, signal, join and kill each
// other for a bounded number of rounds.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "greenlets/Greenlets.h"

namespace green {
namespace {

TEST(Stress, GreenletsAcrossThreadsSleepSignalJoinAndKill) {
  constexpr int kThreads = 3, kWorkersPerThread = 4, kRounds = 40;
  constexpr int kWorkers = kThreads * kWorkersPerThread;
  std::vector<std::unique_ptr<TGreenThread>> threads;
  for (int t = 0; t < kThreads; ++t) threads.push_back(std::make_unique<TGreenThread>());

  std::vector<RefPtr<TGevent>> events;
  for (int i = 0; i < kWorkers; ++i) events.push_back(MakeRef<TGevent>(false, false));
  auto never = MakeRef<TGevent>(true, false);

  // One victim per thread, waiting forever until a worker of another thread kills it.
  std::vector<RefPtr<IRawGreenlet>> victims;
  for (int t = 0; t < kThreads; ++t)
    victims.push_back(threads[t]->Symmetrics().Spawn([&] { never->WaitFor(INFINITE); }));

  std::vector<RefPtr<IRawGreenlet>> workers(kWorkers);
  std::atomic<int> rounds{0}, ready{0};
  auto allSpawned = MakeRef<TGevent>(true, false);
  for (int i = 0; i < kWorkers; ++i) {
    const int t = i % kThreads;
    workers[i] = threads[t]->Symmetrics().Spawn([&, i, t] {
      ++ready;
      allSpawned->WaitFor(INFINITE);
      for (int r = 0; r < kRounds; ++r) {
        GreenSleep(r % 3);
        events[(i + 1) % kWorkers]->SetEvent();
        events[i]->WaitFor(5);
        if (r % 7 == 0) Join({workers[(i + kThreads + 1) % kWorkers]}, 1);
        if (r == kRounds / 2 && i < kThreads) victims[(t + 1) % kThreads]->Kill();
        ++rounds;
      }
    });
  }
  while (ready.load() < kWorkers) GreenSleep(1);
  allSpawned->SetEvent();

  EXPECT_TRUE(Join(workers, 120000));
  EXPECT_TRUE(Join(victims, 120000));
  EXPECT_EQ(rounds.load(), kWorkers * kRounds);
  for (auto& v : victims) EXPECT_EQ(v->GetState(), gsKilled);
  for (auto& w : workers) EXPECT_EQ(w->GetState(), gsTerminated);
  threads.clear();
}

}  // namespace
}  // namespace green
