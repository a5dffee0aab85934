// Greenlets on two threads, each thread serving a hub of its own, joined
// from the main thread with one deadline. One of them waits for an event
// that never comes: the join's deadline ends the wait for it, and ending
// its thread kills it.
#include <iostream>
#include <vector>

#include "green/Gevent.h"
#include "green/Greenlet.h"

using namespace green;

struct TResult {
  long long Value = 0;
  bool OnItsHub = false;
};

// Sums From..To on Thread's hub, letting the hub's other greenlets run as
// it goes (a sleep of 0 comes back after them; a bare Yield would hand
// control to the hub and stay there until someone switches back).
Greenlet Sum(GreenThread& Thread, long long From, long long To, TResult& Out) {
  return Thread.Spawn([=, &Thread, &Out] {
    long long sum = 0;
    for (long long n = From; n <= To; ++n) {
      sum += n;
      if (n % 1000 == 0) Greenlet::Sleep(0);
    }
    Out.Value = sum;
    Out.OnItsHub = Thread.IsCurrent();
  });
}

int main() {
  GreenThread left, right;
  TResult results[3];
  std::vector<Greenlet> workers = {
      Sum(left, 1, 100000, results[0]),
      Sum(right, 100001, 200000, results[1]),
      Sum(left, 200001, 300000, results[2]),
  };
  Gevent never(/*ManualReset=*/true, /*InitialState=*/false);
  Greenlet straggler = right.Spawn([never]() mutable { never.WaitFor(INFINITE); });

  const bool done = Join(workers, 10000);
  std::cout << "the three sums ended within 10 s: " << (done ? "yes" : "no") << '\n';
  long long total = 0;
  for (const TResult& r : results) {
    std::cout << "  " << r.Value << (r.OnItsHub ? ", on its thread's hub" : ", elsewhere") << '\n';
    total += r.Value;
  }
  std::cout << "  together " << total << '\n';

  workers.push_back(straggler);
  const bool all = Join(workers, 100);
  std::cout << "all four ended within 100 ms: " << (all ? "yes" : "no") << '\n';
  right.Kill();
  std::cout << "after its thread ended, the straggler is "
            << (straggler.State() == GreenletState::Killed ? "killed" : "still there") << '\n';
  return 0;
}
