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
    long long Sum = 0;
    for (long long N = From; N <= To; ++N) {
      Sum += N;
      if (N % 1000 == 0) Greenlet::Sleep(0);
    }
    Out.Value = Sum;
    Out.OnItsHub = Thread.IsCurrent();
  });
}

int main() {
  GreenThread Left, Right;
  TResult Results[3];
  std::vector<Greenlet> Workers = {
      Sum(Left, 1, 100000, Results[0]),
      Sum(Right, 100001, 200000, Results[1]),
      Sum(Left, 200001, 300000, Results[2]),
  };
  Gevent Never(/*ManualReset=*/true, /*InitialState=*/false);
  Greenlet Straggler = Right.Spawn([Never]() mutable { Never.WaitFor(INFINITE); });

  const bool Done = Join(Workers, 10000);
  std::cout << "the three sums ended within 10 s: " << (Done ? "yes" : "no") << '\n';
  long long Total = 0;
  for (const TResult& R : Results) {
    std::cout << "  " << R.Value << (R.OnItsHub ? ", on its thread's hub" : ", elsewhere") << '\n';
    Total += R.Value;
  }
  std::cout << "  together " << Total << '\n';

  Workers.push_back(Straggler);
  const bool All = Join(Workers, 100);
  std::cout << "all four ended within 100 ms: " << (All ? "yes" : "no") << '\n';
  Right.Kill();
  std::cout << "after its thread ended, the straggler is "
            << (Straggler.State() == GreenletState::Killed ? "killed" : "still there") << '\n';
  return 0;
}
