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
  for (int32_t I = 0;; ++I) TGenerator<int32_t>::Yield(I);
}

__attribute__((noinline)) void ParkRunning() {
  std::printf("ready\n");
  std::fflush(stdout);
  std::promise<void> Never;
  Never.get_future().wait();
}

void SecondHub(std::promise<void>& Ready) {
  TSingleThreadHub* Hub = DefHub();
  auto Ev = MakeRef<TGevent>(false, false);
  TSymmetric Waiter = TSymmetric::Spawn([&] { ParkOnGevent(Ev.get()); });
  Waiter.SetName("waiter2");
  auto Gen = TGenerator<int32_t>::Create([] { ParkInGenerator(); });
  Gen.SetName("gen");
  auto Walk = Gen.GetEnumerator();
  Walk.MoveNext();
  Ready.set_value();
  for (;;) Hub->Serve(INFINITE);
}

int Main(int Argc, char** Argv) {
  // Lets a debugger of the same user attach where Yama restricts ptrace.
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  if (Argc > 1 && chdir(Argv[1]) != 0) return 2;
  rlimit Core{};
  if (getrlimit(RLIMIT_CORE, &Core) == 0) {
    Core.rlim_cur = Core.rlim_max;
    setrlimit(RLIMIT_CORE, &Core);
  }
  std::promise<void> SecondReady;
  std::thread Second([&] { SecondHub(SecondReady); });
  SecondReady.get_future().wait();

  auto Ev = MakeRef<TGevent>(false, false);
  TSymmetric Waiter = TSymmetric::Spawn([&] { ParkOnGevent(Ev.get()); });
  Waiter.SetName("waiter");
  TSymmetric Sleeper = TSymmetric::Spawn([] { ParkSleeping(); });
  Sleeper.SetName("sleeper");
  TSymmetric Suspended = TSymmetric::Spawn([] { ParkSuspended(); });
  Suspended.SetName("suspended");
  TSymmetric Ready = TSymmetric::Create([] {});
  Ready.SetName("ready");
  TSymmetric Running = TSymmetric::Create([] { ParkRunning(); });
  Running.SetName("running");
  Running.Impl->Switch();
  Second.join();
  return 0;
}

}  // namespace green::parked

int main(int Argc, char** Argv) { return green::parked::Main(Argc, Argv); }
