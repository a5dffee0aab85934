// The program that the gdb extension's test looks at: greenlets parked in
// known functions, in several states, on two hubs. It prints "ready" once
// everything is in place and then blocks for ever inside a running
// greenlet; the test attaches, and kills it, with SIGABRT for a core file
// (written into the directory given as the argument, where the system's
// core pattern is a plain file name) or with SIGKILL.
//
//   hub of the main thread:  "waiter"    gsSuspended in ParkOnGevent
//                            "sleeper"   gsSuspended in ParkSleeping
//                            "suspended" gsSuspended in ParkSuspended
//                            "ready"     gsReady, never started
//                            "running"   gsExecute in ParkRunning, running
//   hub of a second thread:  "gen"       gsExecute in ParkInGenerator, a
//                                        generator's body between values
//                            "waiter2"   gsSuspended in ParkOnGevent
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "greenlets/Greenlets.h"

namespace green::parked {

__attribute__((noinline)) void ParkOnGevent(TGevent* Ev) { Ev->WaitFor(INFINITE); }

__attribute__((noinline)) void ParkSleeping() { GreenSleep(3600 * 1000); }

__attribute__((noinline)) void ParkSuspended() {
  TRawGreenletImpl::GetCurrent()->Suspend();
  green::Yield();
}

__attribute__((noinline)) void ParkInGenerator() {
  for (int32_t i = 0;; ++i) TGenerator<int32_t>::Yield(i);
}

__attribute__((noinline)) void ParkRunning() {
  std::printf("ready\n");
  std::fflush(stdout);
  std::promise<void> never;
  never.get_future().wait();
}

void SecondHub(std::promise<void>& Ready) {
  TSingleThreadHub* hub = DefHub();
  auto ev = MakeRef<TGevent>(false, false);
  TSymmetric waiter = TSymmetric::Spawn([&] { ParkOnGevent(ev.get()); });
  waiter.SetName("waiter2");
  auto gen = TGenerator<int32_t>::Create([] { ParkInGenerator(); });
  gen.SetName("gen");
  auto walk = gen.GetEnumerator();
  walk.MoveNext();
  Ready.set_value();
  for (;;) hub->Serve(INFINITE);
}

int Main(int Argc, char** Argv) {
  // Lets a debugger of the same user attach where Yama restricts ptrace.
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  if (Argc > 1 && chdir(Argv[1]) != 0) return 2;
  rlimit core{};
  if (getrlimit(RLIMIT_CORE, &core) == 0) {
    core.rlim_cur = core.rlim_max;
    setrlimit(RLIMIT_CORE, &core);
  }
  std::promise<void> secondReady;
  std::thread second([&] { SecondHub(secondReady); });
  secondReady.get_future().wait();

  auto ev = MakeRef<TGevent>(false, false);
  TSymmetric waiter = TSymmetric::Spawn([&] { ParkOnGevent(ev.get()); });
  waiter.SetName("waiter");
  TSymmetric sleeper = TSymmetric::Spawn([] { ParkSleeping(); });
  sleeper.SetName("sleeper");
  TSymmetric suspended = TSymmetric::Spawn([] { ParkSuspended(); });
  suspended.SetName("suspended");
  TSymmetric ready = TSymmetric::Create([] {});
  ready.SetName("ready");
  TSymmetric running = TSymmetric::Create([] { ParkRunning(); });
  running.SetName("running");
  running.Impl->Switch();
  second.join();
  return 0;
}

}  // namespace green::parked

int main(int Argc, char** Argv) { return green::parked::Main(Argc, Argv); }
