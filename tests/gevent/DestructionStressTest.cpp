// Gevents destroyed while greenlets on two hub threads and plain threads
// wait on them, with timeouts running out, kills and signals of the wrapped
// handle all around the moment of destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gevent/Gevent.h"
#include "greenlets/Greenlets.h"
#include "platform/Kernel.h"

namespace green {
namespace {

TEST(GeventStress, DestructionRacesTimeoutsKillsAndHandleSignals) {
  constexpr int kRounds = 200, kThreadWaiters = 2, kGreenWaiters = 4;
  constexpr int kWaiters = kThreadWaiters + kGreenWaiters;
  TGreenThread Hubs[2];
  const THandle Handle = os::CreateEvent(false, false);
  std::atomic<bool> Stop{false};
  std::thread Signaller([&] {
    while (!Stop.load()) {
      os::SetEvent(Handle);
      std::this_thread::yield();
    }
  });

  // Each waiter waits once per round on that round's gevent, which stays
  // alive until every waiter has registered or already finished.
  std::atomic<int> Round{-1}, Done{0};
  std::atomic<TGevent*> Current{nullptr};
  auto RoundDone = MakeRef<TGevent>(false, false);
  auto FinishOne = [&] {
    if (Done.fetch_add(1) + 1 == kWaiters) RoundDone->SetEvent();
  };
  struct TFinish {
    decltype(FinishOne)* F;
    ~TFinish() { (*F)(); }
  };
  std::vector<std::thread> ThreadWaiters;
  for (int W = 0; W < kThreadWaiters; ++W)
    ThreadWaiters.emplace_back([&, W] {
      for (int R = 0; R < kRounds; ++R) {
        while (Round.load() < R) std::this_thread::yield();
        TFinish Finish{&FinishOne};
        Current.load()->WaitFor(1 + (R + W) % 3);
      }
    });

  for (int R = 0; R < kRounds; ++R) {
    RefPtr<TGevent> Ev = R % 2 ? MakeRef<TGevent>(Handle) : MakeRef<TGevent>(R % 4 == 0, false);
    Current = Ev.get();
    Done = 0;
    std::vector<RefPtr<IRawGreenlet>> Greens;
    for (int G = 0; G < kGreenWaiters; ++G) {
      TGevent* Raw = Ev.get();
      const uint32_t Timeout = 1 + (R + G) % 3;
      Greens.push_back(Hubs[G % 2].Symmetrics().Spawn([Raw, Timeout, &FinishOne] {
        TFinish Finish{&FinishOne};
        Raw->WaitFor(Timeout);
      }));
    }
    Round = R;
    // A waiter only moves from the list to the done count: reading the count
    // first never counts one twice.
    for (;;) {
      const size_t Finished = static_cast<size_t>(Done.load());
      if (Finished + Ev->WaiterCount() >= kWaiters) break;
      std::this_thread::yield();
    }
    for (int I = 0; I < R % 7; ++I) std::this_thread::yield();
    if (R % 3 == 0) Greens[R % kGreenWaiters]->Kill();
    Ev.reset();
    ASSERT_EQ(RoundDone->WaitFor(10000), wrSignaled) << "round " << R;
    ASSERT_TRUE(Join(Greens, 10000)) << "round " << R;
  }
  Stop = true;
  Signaller.join();
  for (auto& T : ThreadWaiters) T.join();
  os::CloseHandle(Handle);
}

}  // namespace
}  // namespace green
