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
  std::vector<std::unique_ptr<TGreenThread>> Threads;
  for (int T = 0; T < kThreads; ++T) Threads.push_back(std::make_unique<TGreenThread>());

  std::vector<RefPtr<TGevent>> Events;
  for (int I = 0; I < kWorkers; ++I) Events.push_back(MakeRef<TGevent>(false, false));
  auto Never = MakeRef<TGevent>(true, false);

  // One victim per thread, waiting forever until a worker of another thread kills it.
  std::vector<RefPtr<IRawGreenlet>> Victims;
  for (int T = 0; T < kThreads; ++T)
    Victims.push_back(Threads[T]->Symmetrics().Spawn([&] { Never->WaitFor(INFINITE); }));

  std::vector<RefPtr<IRawGreenlet>> Workers(kWorkers);
  std::atomic<int> Rounds{0}, Ready{0};
  auto AllSpawned = MakeRef<TGevent>(true, false);
  for (int I = 0; I < kWorkers; ++I) {
    const int T = I % kThreads;
    Workers[I] = Threads[T]->Symmetrics().Spawn([&, I, T] {
      ++Ready;
      AllSpawned->WaitFor(INFINITE);
      for (int R = 0; R < kRounds; ++R) {
        GreenSleep(R % 3);
        Events[(I + 1) % kWorkers]->SetEvent();
        Events[I]->WaitFor(5);
        if (R % 7 == 0) Join({Workers[(I + kThreads + 1) % kWorkers]}, 1);
        if (R == kRounds / 2 && I < kThreads) Victims[(T + 1) % kThreads]->Kill();
        ++Rounds;
      }
    });
  }
  while (Ready.load() < kWorkers) GreenSleep(1);
  AllSpawned->SetEvent();

  EXPECT_TRUE(Join(Workers, 120000));
  EXPECT_TRUE(Join(Victims, 120000));
  EXPECT_EQ(Rounds.load(), kWorkers * kRounds);
  for (auto& V : Victims) EXPECT_EQ(V->GetState(), gsKilled);
  for (auto& W : Workers) EXPECT_EQ(W->GetState(), gsTerminated);
  Threads.clear();
}

}  // namespace
}  // namespace green
