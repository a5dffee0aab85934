// Producers and consumers, greenlets of one thread's hub, hand items over
// through a queue and two gevents: an auto-reset one says that an item
// waits (it wakes one consumer), a manual-reset one that the producers are
// done (it wakes them all). Every wait has a timeout, so that a consumer
// that hears nothing gives up instead of waiting forever.
#include <deque>
#include <iostream>
#include <vector>

#include "green/Gevent.h"
#include "green/Greenlet.h"

using namespace green;

int main() {
  std::deque<int> queue;
  Gevent itemWaits(/*ManualReset=*/false, /*InitialState=*/false);
  Gevent producersDone(/*ManualReset=*/true, /*InitialState=*/false);

  std::vector<Greenlet> producers;
  for (int p = 0; p < 2; ++p) {
    producers.push_back(Greenlet::Spawn([&, p] {
      for (int i = 1; i <= 5; ++i) {
        queue.push_back(100 * p + i);
        itemWaits.SetEvent();
        Greenlet::Sleep(2);  // the consumers run meanwhile
      }
    }));
  }

  int consumed = 0, sum = 0, gaveUp = 0;
  std::vector<Greenlet> consumers;
  for (int c = 0; c < 3; ++c) {
    consumers.push_back(Greenlet::Spawn([&] {
      for (;;) {
        if (!queue.empty()) {
          sum += queue.front();
          queue.pop_front();
          ++consumed;
          continue;
        }
        int32_t which = -1;
        const WaitResult r = Gevent::WaitAny({itemWaits, producersDone}, which, 5000);
        if (r == WaitResult::Timeout) {
          ++gaveUp;
          return;
        }
        if (which == 1 && queue.empty()) return;
      }
    }));
  }

  Join(producers);
  producersDone.SetEvent();
  const bool ended = Join(consumers, 5000);
  std::cout << "consumers ended: " << (ended ? "yes" : "no") << '\n';
  std::cout << "items consumed: " << consumed << ", their sum: " << sum << '\n';
  std::cout << "consumers that gave up: " << gaveUp << '\n';

  // A signal that no consumer needed may still be set: cleared, and with
  // nobody producing any more, a wait for an item ends at its timeout.
  itemWaits.ResetEvent();
  const WaitResult late = itemWaits.WaitFor(50);
  std::cout << "another item within 50 ms: " << (late == WaitResult::Timeout ? "no, timeout" : "yes") << '\n';
  return 0;
}
