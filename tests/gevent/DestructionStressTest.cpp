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
  TGreenThread hubs[2];
  const THandle handle = os::CreateEvent(false, false);
  std::atomic<bool> stop{false};
  std::thread signaller([&] {
    while (!stop.load()) {
      os::SetEvent(handle);
      std::this_thread::yield();
    }
  });

  // Each waiter waits once per round on that round's gevent, which stays
  // alive until every waiter has registered or already finished.
  std::atomic<int> round{-1}, done{0};
  std::atomic<TGevent*> current{nullptr};
  auto roundDone = MakeRef<TGevent>(false, false);
  auto finishOne = [&] {
    if (done.fetch_add(1) + 1 == kWaiters) roundDone->SetEvent();
  };
  struct TFinish {
    decltype(finishOne)* F;
    ~TFinish() { (*F)(); }
  };
  std::vector<std::thread> threadWaiters;
  for (int w = 0; w < kThreadWaiters; ++w)
    threadWaiters.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        while (round.load() < r) std::this_thread::yield();
        TFinish finish{&finishOne};
        current.load()->WaitFor(1 + (r + w) % 3);
      }
    });

  for (int r = 0; r < kRounds; ++r) {
    RefPtr<TGevent> ev = r % 2 ? MakeRef<TGevent>(handle) : MakeRef<TGevent>(r % 4 == 0, false);
    current = ev.get();
    done = 0;
    std::vector<RefPtr<IRawGreenlet>> greens;
    for (int g = 0; g < kGreenWaiters; ++g) {
      TGevent* raw = ev.get();
      const uint32_t timeout = 1 + (r + g) % 3;
      greens.push_back(hubs[g % 2].Symmetrics().Spawn([raw, timeout, &finishOne] {
        TFinish finish{&finishOne};
        raw->WaitFor(timeout);
      }));
    }
    round = r;
    // A waiter only moves from the list to the done count: reading the count
    // first never counts one twice.
    for (;;) {
      const size_t finished = static_cast<size_t>(done.load());
      if (finished + ev->WaiterCount() >= kWaiters) break;
      std::this_thread::yield();
    }
    for (int i = 0; i < r % 7; ++i) std::this_thread::yield();
    if (r % 3 == 0) greens[r % kGreenWaiters]->Kill();
    ev.reset();
    ASSERT_EQ(roundDone->WaitFor(10000), wrSignaled) << "round " << r;
    ASSERT_TRUE(Join(greens, 10000)) << "round " << r;
  }
  stop = true;
  signaller.join();
  for (auto& t : threadWaiters) t.join();
  os::CloseHandle(handle);
}

}  // namespace
}  // namespace green
