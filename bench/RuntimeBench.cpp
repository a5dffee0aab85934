// The runtime's hot paths: a greenlet switch, a cross-thread task round
// trip, a gevent wake-up, timeouts at scale, and how late a sleep wakes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "gevent/Gevent.h"
#include "greenlets/Greenlets.h"
#include "greenlets/GreenletsImpl.h"
#include "greenlets/HubWatchdog.h"
#include "hub/Hub.h"

#ifndef _WIN32
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace green {
namespace {

class TLoop : public TRawGreenletImpl {
 public:
  explicit TLoop(void (*Body)(void*), void* Arg) : FBody(Body), FArg(Arg) {}
  void Execute() override { FBody(FArg); }

 private:
  void (*FBody)(void*);
  void* FArg;
};

void YieldForever(void*) {
  for (;;) TRawGreenletImpl::GetCurrent()->Yield();
}

// Switch into a greenlet and its Yield back to the root.
void BM_GreenletSwitch(benchmark::State& State) {
  RefPtr<TLoop> G(new TLoop(&YieldForever, nullptr));
  for (auto _ : State) G->Switch();
  G->Kill();
}
BENCHMARK(BM_GreenletSwitch);

// The same round trip with the hub watchdog on: each switch notes itself
// on the greenlet's hub (hub/HubBeat.h) for the monitor thread to sample.
void BM_GreenletSwitchWatched(benchmark::State& State) {
  StartHubWatchdog();
  RefPtr<TLoop> G(new TLoop(&YieldForever, nullptr));
  for (auto _ : State) G->Switch();
  G->Kill();
  StopHubWatchdog();
}
BENCHMARK(BM_GreenletSwitchWatched);

void WaitForever(void* Ev) {
  for (;;) static_cast<TGevent*>(Ev)->WaitFor(INFINITE);
}

// SetEvent(true) resumes a waiting greenlet of the same hub at once; the
// round trip ends when it waits again.
void BM_GeventWake(benchmark::State& State) {
  auto Ev = MakeRef<TGevent>(false, false);
  RefPtr<TLoop> G(new TLoop(&WaitForever, Ev.get()));
  G->Switch();
  for (auto _ : State) Ev->SetEvent(true);
  G->Kill();
}
BENCHMARK(BM_GeventWake);

// The default SetEvent() waking a greenlet of the same hub: the waiter runs
// when the hub next serves its tasks, which the root then does; the round
// trip ends when it waits again.
void BM_GeventWakeDefault(benchmark::State& State) {
  auto Ev = MakeRef<TGevent>(false, false);
  RefPtr<TLoop> G(new TLoop(&WaitForever, Ev.get()));
  G->Switch();
  TCustomHub* Hub = GetCurrentHub();
  for (auto _ : State) {
    Ev->SetEvent();
    Hub->Serve(0);
  }
  G->Kill();
}
BENCHMARK(BM_GeventWakeDefault);

// Thread A queues a task on thread B's idle hub, which queues one back on
// A's idle hub.
void BM_EnqueueWake(benchmark::State& State) {
  static TSingleThreadHub* hubA;
  static std::atomic<TSingleThreadHub*> hubB;
  static std::atomic<bool> stop;
  static int returned;
  hubA = DefHub(0);
  hubB = nullptr;
  stop = false;
  returned = 0;
  std::thread B([] {
    hubB = DefHub(0);
    while (!stop.load()) hubB.load()->Serve(INFINITE);
  });
  while (!hubB.load()) std::this_thread::yield();
  for (auto _ : State) {
    const int Want = returned + 1;
    hubB.load()->EnqueueTask(
        [](void*) { hubA->EnqueueTask([](void*) { ++returned; }, nullptr); }, nullptr);
    while (returned < Want) hubA->Serve(INFINITE);
  }
  hubB.load()->EnqueueTask([](void*) { stop = true; }, nullptr);
  B.join();
  delete hubB.load();
}
BENCHMARK(BM_EnqueueWake)->UseRealTime();

#ifndef _WIN32
// Two threads bouncing a count through two eventfds: the kernel's least
// cost for one thread to wake another and be woken back.
void BM_EventfdPingPong(benchmark::State& State) {
  int Ping = eventfd(0, 0), Pong = eventfd(0, 0);
  std::thread Other([&] {
    uint64_t V;
    while (read(Ping, &V, sizeof V) == sizeof V && V != 2) {
      V = 1;
      if (write(Pong, &V, sizeof V) != sizeof V) break;
    }
  });
  uint64_t V = 1;
  for (auto _ : State) {
    V = 1;
    if (write(Ping, &V, sizeof V) != sizeof V || read(Pong, &V, sizeof V) != sizeof V) break;
  }
  V = 2;
  if (write(Ping, &V, sizeof V) == sizeof V) Other.join();
  else Other.detach();
  close(Ping);
  close(Pong);
}
BENCHMARK(BM_EventfdPingPong)->UseRealTime();
#endif

void Nothing(THandle, void*) {}

// Create and destroy one timeout while Arg others are live.
void BM_TimeoutCreateDestroy(benchmark::State& State) {
  TSingleThreadHub Hub;
  std::vector<THandle> Live;
  for (int64_t I = 0; I < State.range(0); ++I)
    Live.push_back(Hub.CreateTimeout(&Nothing, nullptr, 3600 * 1000));
  for (auto _ : State) Hub.DestroyTimeout(Hub.CreateTimeout(&Nothing, nullptr, 3600 * 1000));
  for (THandle H : Live) Hub.DestroyTimeout(H);
}
BENCHMARK(BM_TimeoutCreateDestroy)->Arg(100)->Arg(100000);

constexpr auto kSleep = std::chrono::milliseconds(10);

// The time each iteration reports is how much later than asked Sleep()
// returned: the mean oversleep.
template <class F>
void Oversleep(benchmark::State& State, F Sleep) {
  for (auto _ : State) {
    const auto Start = std::chrono::steady_clock::now();
    Sleep();
    const std::chrono::duration<double> Late = std::chrono::steady_clock::now() - Start - kSleep;
    State.SetIterationTime(Late.count() > 0 ? Late.count() : 0);
  }
}

void BM_GreenSleepOversleep(benchmark::State& State) {
  Oversleep(State, [] { GreenSleep(static_cast<uint32_t>(kSleep.count())); });
}
BENCHMARK(BM_GreenSleepOversleep)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

// The same sleep inside a greenlet, which its hub's timer resumes; the root
// joins it, serving the hub meanwhile.
void BM_GreenletSleepOversleep(benchmark::State& State) {
  Oversleep(State, [] {
    Join({TSymmetric::Spawn([] { GreenSleep(static_cast<uint32_t>(kSleep.count())); })},
         INFINITE);
  });
}
BENCHMARK(BM_GreenletSleepOversleep)
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMicrosecond);

#ifndef _WIN32
void BM_NanosleepOversleep(benchmark::State& State) {
  Oversleep(State, [] {
    timespec T{0, std::chrono::duration_cast<std::chrono::nanoseconds>(kSleep).count()};
    while (nanosleep(&T, &T) != 0) {
    }
  });
}
BENCHMARK(BM_NanosleepOversleep)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
}  // namespace green
