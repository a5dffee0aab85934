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
  std::deque<int> Queue;
  Gevent ItemWaits(/*ManualReset=*/false, /*InitialState=*/false);
  Gevent ProducersDone(/*ManualReset=*/true, /*InitialState=*/false);

  std::vector<Greenlet> Producers;
  for (int P = 0; P < 2; ++P) {
    Producers.push_back(Greenlet::Spawn([&, P] {
      for (int I = 1; I <= 5; ++I) {
        Queue.push_back(100 * P + I);
        ItemWaits.SetEvent();
        Greenlet::Sleep(2);  // the consumers run meanwhile
      }
    }));
  }

  int Consumed = 0, Sum = 0, GaveUp = 0;
  std::vector<Greenlet> Consumers;
  for (int C = 0; C < 3; ++C) {
    Consumers.push_back(Greenlet::Spawn([&] {
      for (;;) {
        if (!Queue.empty()) {
          Sum += Queue.front();
          Queue.pop_front();
          ++Consumed;
          continue;
        }
        int32_t Which = -1;
        const WaitResult R = Gevent::WaitAny({ItemWaits, ProducersDone}, Which, 5000);
        if (R == WaitResult::Timeout) {
          ++GaveUp;
          return;
        }
        if (Which == 1 && Queue.empty()) return;
      }
    }));
  }

  Join(Producers);
  ProducersDone.SetEvent();
  const bool Ended = Join(Consumers, 5000);
  std::cout << "consumers ended: " << (Ended ? "yes" : "no") << '\n';
  std::cout << "items consumed: " << Consumed << ", their sum: " << Sum << '\n';
  std::cout << "consumers that gave up: " << GaveUp << '\n';

  // A signal that no consumer needed may still be set: cleared, and with
  // nobody producing any more, a wait for an item ends at its timeout.
  ItemWaits.ResetEvent();
  const WaitResult Late = ItemWaits.WaitFor(50);
  std::cout << "another item within 50 ms: " << (Late == WaitResult::Timeout ? "no, timeout" : "yes") << '\n';
  return 0;
}
