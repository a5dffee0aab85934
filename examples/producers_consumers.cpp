// Producers and consumers, greenlets of one thread's hub, hand items over
// through a queue and two gevents: an auto-reset one says that an item
// waits (it wakes one consumer), a manual-reset one that the producers are
// done (it wakes them all). Every wait has a timeout, so that a consumer
// that hears nothing gives up instead of waiting forever.
#include <deque>
#include <iostream>
#include <vector>

#include "greenlets/Greenlets.h"

using namespace green;

int main() {
  std::deque<int> queue;
  auto itemWaits = MakeRef<TGevent>(/*ManualReset=*/false, /*InitialState=*/false);
  auto producersDone = MakeRef<TGevent>(/*ManualReset=*/true, /*InitialState=*/false);

  std::vector<RefPtr<IRawGreenlet>> producers;
  for (int p = 0; p < 2; ++p) {
    producers.push_back(TSymmetric::Spawn([&, p] {
      for (int i = 1; i <= 5; ++i) {
        queue.push_back(100 * p + i);
        itemWaits->SetEvent();
        GreenSleep(2);  // the consumers run meanwhile
      }
    }));
  }

  int consumed = 0, sum = 0, gaveUp = 0;
  std::vector<RefPtr<IRawGreenlet>> consumers;
  for (int c = 0; c < 3; ++c) {
    consumers.push_back(TSymmetric::Spawn([&] {
      for (;;) {
        if (!queue.empty()) {
          sum += queue.front();
          queue.pop_front();
          ++consumed;
          continue;
        }
        int32_t which = -1;
        const TWaitResult r =
            TGevent::WaitMultiple({itemWaits.get(), producersDone.get()}, which, 5000);
        if (r == wrTimeout) {
          ++gaveUp;
          return;
        }
        if (which == 1 && queue.empty()) return;
      }
    }));
  }

  Join(producers);
  producersDone->SetEvent();
  const bool ended = Join(consumers, 5000);
  std::cout << "consumers ended: " << (ended ? "yes" : "no") << '\n';
  std::cout << "items consumed: " << consumed << ", their sum: " << sum << '\n';
  std::cout << "consumers that gave up: " << gaveUp << '\n';

  // A signal that no consumer needed may still be set: cleared, and with
  // nobody producing any more, a wait for an item ends at its timeout.
  itemWaits->ResetEvent();
  const TWaitResult late = itemWaits->WaitFor(50);
  std::cout << "another item within 50 ms: " << (late == wrTimeout ? "no, timeout" : "yes") << '\n';
  return 0;
}
