// Greenlets on two threads, each thread serving a hub of its own, joined
// from the main thread with one deadline. One of them waits for an event
// that never comes: the join's deadline ends the wait for it, and ending
// its thread kills it.
#include <iostream>
#include <vector>

#include "greenlets/Greenlets.h"

using namespace green;

struct TResult {
  long long Value = 0;
  bool OnItsHub = false;
};

// Sums From..To on Thread's hub, letting the hub's other greenlets run as
// it goes (a sleep of 0 comes back after them; a bare Yield would hand
// control to the hub and stay there until someone switches back).
RefPtr<IRawGreenlet> Sum(TGreenThread& Thread, long long From, long long To, TResult& Out) {
  TCustomHub* hub = Thread.Symmetrics().Hub();
  return Thread.Symmetrics().Spawn([=, &Out] {
    long long sum = 0;
    for (long long n = From; n <= To; ++n) {
      sum += n;
      if (n % 1000 == 0) GreenSleep(0);
    }
    Out.Value = sum;
    Out.OnItsHub = GetCurrentHub() == hub;
  });
}

int main() {
  TGreenThread left, right;
  TResult results[3];
  std::vector<RefPtr<IRawGreenlet>> workers = {
      Sum(left, 1, 100000, results[0]),
      Sum(right, 100001, 200000, results[1]),
      Sum(left, 200001, 300000, results[2]),
  };
  auto never = MakeRef<TGevent>(/*ManualReset=*/true, /*InitialState=*/false);
  RefPtr<IRawGreenlet> straggler = right.Symmetrics().Spawn([never] { never->WaitFor(INFINITE); });

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
            << (straggler->GetState() == gsKilled ? "killed" : "still there") << '\n';
  return 0;
}
