// Waiting on gevents from greenlets and from plain threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "platform/Kernel.h"
#include "support/TestGreenlet.h"
#include "support/TestHub.h"

namespace green {
namespace {

using test::Spawn;

// Serves the calling thread's hub until the greenlet has ended.
void RunToEnd(TRawGreenletImpl* G) {
  const TDateTime deadline = Now() + TimeOut2Time(10000);
  while (G->GetState() != gsTerminated && G->GetState() != gsKilled &&
         G->GetState() != gsException && Now() < deadline)
    DefHub(0)->Serve(100);
  ASSERT_LT(Now(), deadline) << "greenlet did not end";
}

TEST(Gevent, ZeroTimeoutAnswersAtOnceWithoutRegistering) {
  auto ev = MakeRef<TGevent>(false, false);
  EXPECT_EQ(ev->WaitFor(0), wrTimeout);
  EXPECT_EQ(ev->WaiterCount(), 0u);
}

TEST(Gevent, ManualResetStaysSignalledAutoResetIsConsumed) {
  auto manual = MakeRef<TGevent>(true, true);
  EXPECT_EQ(manual->WaitFor(0), wrSignaled);
  EXPECT_TRUE(manual->IsSignaled());
  manual->ResetEvent();
  EXPECT_FALSE(manual->IsSignaled());

  auto autoEv = MakeRef<TGevent>(false, false);
  autoEv->SetEvent();
  autoEv->ResetEvent();
  EXPECT_TRUE(autoEv->IsSignaled()) << "ResetEvent leaves an auto-reset signal in place";
  EXPECT_EQ(autoEv->WaitFor(INFINITE), wrSignaled);
  EXPECT_FALSE(autoEv->IsSignaled());
  EXPECT_EQ(autoEv->WaitFor(0), wrTimeout);
}

TEST(Gevent, OneSignalWakesBothGreenletWaitersOfAnAutoResetEvent) {
  auto ev = MakeRef<TGevent>(false, false);
  TWaitResult r1 = wrError, r2 = wrError;
  auto g1 = Spawn([&] { r1 = ev->WaitFor(INFINITE); });
  auto g2 = Spawn([&] { r2 = ev->WaitFor(INFINITE); });
  g1->Switch();
  g2->Switch();
  EXPECT_EQ(g1->GetState(), gsSuspended);
  EXPECT_EQ(ev->WaiterCount(), 2u);
  ev->SetEvent();
  RunToEnd(g1.get());
  RunToEnd(g2.get());
  EXPECT_EQ(r1, wrSignaled);
  EXPECT_EQ(r2, wrSignaled);
  EXPECT_FALSE(ev->IsSignaled());
  EXPECT_EQ(ev->WaiterCount(), 0u);
}

TEST(Gevent, GreenletWaitTimesOutNoEarlierThanItsDeadline) {
  auto ev = MakeRef<TGevent>(false, false);
  TWaitResult r = wrError;
  TDateTime waited = 0;
  auto g = Spawn([&] {
    const TDateTime start = Now();
    r = ev->WaitFor(50);
    waited = Now() - start;
  });
  g->Switch();
  RunToEnd(g.get());
  EXPECT_EQ(r, wrTimeout);
  EXPECT_GE(Time2TimeOut(waited), 50u);
  EXPECT_EQ(ev->WaiterCount(), 0u);
}

TEST(Gevent, ThreadWaitServesTheHubMeanwhile) {
  auto ev = MakeRef<TGevent>(false, false);
  int ticks = 0;
  auto ticker = Spawn([&] {
    for (;;) {
      ++ticks;
      TRawGreenletImpl::GetCurrent()->Sleep(5);
    }
  });
  ticker->Switch();
  const TDateTime start = Now();
  EXPECT_EQ(ev->WaitFor(80), wrTimeout);
  EXPECT_GE(Time2TimeOut(Now() - start), 80u);
  EXPECT_GT(ticks, 2) << "the greenlet kept running during the thread's wait";
  ticker->Kill();
}

TEST(Gevent, ThreadTimeoutDoesNotDisturbAGreenletWaiter) {
  auto ev = MakeRef<TGevent>(false, false);
  TWaitResult r = wrError;
  auto g = Spawn([&] { r = ev->WaitFor(INFINITE); });
  g->Switch();
  EXPECT_EQ(ev->WaitFor(20), wrTimeout);
  EXPECT_EQ(g->GetState(), gsSuspended);
  ev->SetEvent();
  RunToEnd(g.get());
  EXPECT_EQ(r, wrSignaled);
}

TEST(Gevent, SyncSignalResumesASameHubWaiterBeforeReturning) {
  // The one waiter takes an auto-reset signal with it; a manual one stays.
  for (const bool manual : {false, true}) {
    auto ev = MakeRef<TGevent>(manual, false);
    TWaitResult r = wrError;
    auto waiter = Spawn([&] { r = ev->WaitFor(INFINITE); });
    waiter->Switch();
    TWaitResult seenInSignaller = wrError;
    auto signaller = Spawn([&] {
      ev->SetEvent(true);
      seenInSignaller = r;
    });
    signaller->Switch();
    EXPECT_EQ(seenInSignaller, wrSignaled) << "manual " << manual;
    EXPECT_EQ(ev->IsSignaled(), manual);
    EXPECT_EQ(ev->WaiterCount(), 0u);
  }

  auto ev = MakeRef<TGevent>(false, false);
  bool woke = false;
  auto waiter2 = Spawn([&] {
    ev->WaitFor(INFINITE);
    woke = true;
  });
  waiter2->Switch();
  ev->SetEvent(false);
  EXPECT_FALSE(woke) << "an asynchronous signal resumes through the hub";
  RunToEnd(waiter2.get());
  EXPECT_TRUE(woke);
}

// The one waiter of this hub is handed the auto-reset signal at once; killed
// before it ran, it must not take the signal with it.
TEST(Gevent, AHandedOverSignalPassesOnWhenItsWaiterIsKilledFirst) {
  auto ev = MakeRef<TGevent>(false, false);
  auto g = Spawn([&] { ev->WaitFor(INFINITE); });
  g->Switch();
  ev->SetEvent();
  EXPECT_FALSE(ev->IsSignaled()) << "handed over";
  g->Kill();
  EXPECT_TRUE(ev->IsSignaled());
  EXPECT_EQ(ev->WaitFor(0), wrSignaled);
}

TEST(Gevent, DestructionEndsGreenletAndThreadWaitsWithAbandoned) {
  auto ev = MakeRef<TGevent>(true, false);
  TWaitResult greenResult = wrError;
  auto g = Spawn([&] { greenResult = ev->WaitFor(INFINITE); });
  g->Switch();
  std::atomic<TWaitResult> threadResult{wrError};
  TGevent* raw = ev.get();
  std::thread waiter([&] { threadResult = raw->WaitFor(INFINITE); });
  while (ev->WaiterCount() < 2) std::this_thread::yield();
  ev.reset();
  waiter.join();
  RunToEnd(g.get());
  EXPECT_EQ(greenResult, wrAbandoned);
  EXPECT_EQ(threadResult.load(), wrAbandoned);
}

TEST(Gevent, SignalFromAnotherThreadWakesAThreadWaiter) {
  auto ev = MakeRef<TGevent>(false, false);
  std::thread signaller([&] {
    while (ev->WaiterCount() == 0) std::this_thread::yield();
    ev->SetEvent();
  });
  EXPECT_EQ(ev->WaitFor(10000), wrSignaled);
  signaller.join();
}

TEST(Gevent, KernelHandleIsWatchedOnlyDuringTheWait) {
  THandle h = os::CreateEvent(false, false);
  auto ev = MakeRef<TGevent>(h);
  std::thread setter([&] {
    while (ev->WaiterCount() == 0) std::this_thread::yield();
    os::SetEvent(h);
  });
  EXPECT_EQ(ev->WaitFor(10000), wrSignaled);
  setter.join();
  os::SetEvent(h);
  DefHub(0)->Serve(30);
  DefHub(0)->Serve(0);
  EXPECT_EQ(os::WaitForSingleObject(h, 0), os::kWaitObject0)
      << "the hub no longer watches the handle, so nobody consumed it";
  ev.reset();
  os::CloseHandle(h);
}

TEST(Gevent, WaitDuringAKillIsAbandonedUnlessAnAutoResetSignalIsThere) {
  auto manual = MakeRef<TGevent>(true, true);
  auto autoEv = MakeRef<TGevent>(false, true);
  TWaitResult onManual = wrError, onAuto = wrError;
  auto g = Spawn([&] {
    try {
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    } catch (...) {
      onManual = manual->WaitFor(INFINITE);
      onAuto = autoEv->WaitFor(INFINITE);
      throw;
    }
  });
  g->Switch();
  g->Kill();
  EXPECT_EQ(g->GetState(), gsKilled);
  EXPECT_EQ(onManual, wrAbandoned);
  EXPECT_EQ(onAuto, wrSignaled);
  EXPECT_FALSE(autoEv->IsSignaled());
}

TEST(Gevent, CrossThreadSignalsAreNeverLost) {
  constexpr int kRounds = 300;
  auto ping = MakeRef<TGevent>(false, false);
  auto pong = MakeRef<TGevent>(false, false);
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ(ping->WaitFor(10000), wrSignaled);
      pong->SetEvent();
    }
  });
  int done = 0;
  auto g = Spawn([&] {
    for (int i = 0; i < kRounds; ++i) {
      ping->SetEvent();
      if (pong->WaitFor(10000) != wrSignaled) break;
      ++done;
    }
  });
  g->Switch();
  RunToEnd(g.get());
  other.join();
  EXPECT_EQ(done, kRounds);
}

// A greenlet's waits one after another: each starts afresh, whatever ended
// the one before (a signal, the gevent's destruction, a timeout).
TEST(Gevent, EachWaitOfAGreenletStartsAfreshAfterTheLastOneEnded) {
  auto first = MakeRef<TGevent>(false, false);
  auto second = MakeRef<TGevent>(false, false);
  TWaitResult signalled = wrError, abandoned = wrError, timedOut = wrError, again = wrError;
  auto g = Spawn([&] {
    signalled = first->WaitFor(INFINITE);
    abandoned = first->WaitFor(INFINITE);
    timedOut = second->WaitFor(20);
    again = second->WaitFor(INFINITE);
  });
  auto waiting = [&] { return g->GetState() == gsExecute || g->GetState() == gsSuspended; };
  const TDateTime deadline = Now() + TimeOut2Time(10000);
  g->Switch();
  first->SetEvent();
  while (first->WaiterCount() == 0 && waiting() && Now() < deadline) DefHub(0)->Serve(10);
  ASSERT_EQ(first->WaiterCount(), 1u);
  first.reset();
  while ((second->WaiterCount() == 0 || timedOut == wrError) && waiting() && Now() < deadline)
    DefHub(0)->Serve(10);
  ASSERT_EQ(second->WaiterCount(), 1u);
  second->SetEvent();
  RunToEnd(g.get());
  EXPECT_EQ(signalled, wrSignaled);
  EXPECT_EQ(abandoned, wrAbandoned);
  EXPECT_EQ(timedOut, wrTimeout);
  EXPECT_EQ(again, wrSignaled);
  EXPECT_EQ(second->WaiterCount(), 0u);
}

void SwitchInto(void* G) { static_cast<TRawGreenletImpl*>(G)->Switch(); }

// Serves Hub until G has ended or the time is up.
void ServeToEnd(TSingleThreadHub& Hub, TRawGreenletImpl* G, uint32_t TimeoutMs) {
  const TDateTime deadline = Now() + TimeOut2Time(TimeoutMs);
  while (G->GetState() != gsTerminated && Now() < deadline) Hub.Serve(50);
}

// Timed waits whose timer the system refuses still end at their deadline,
// and leave nothing behind.
TEST(Gevent, TimedWaitsEndAtTheirDeadlineWhenTheTimerIsRefused) {
  test::TFailingArmHub hub;
  auto ev = MakeRef<TGevent>(false, false);
  TWaitResult greenResult = wrError;
  auto g = Spawn([&] { greenResult = ev->WaitFor(30); });
  g->SetHub(&hub);
  hub.FailArmings = 1;
  hub.EnqueueTask(&SwitchInto, g.get());
  ServeToEnd(hub, g.get(), 5000);
  EXPECT_EQ(g->GetState(), gsTerminated) << "the greenlet's wait outlived its deadline";
  EXPECT_EQ(greenResult, wrTimeout);

  hub.FailArmings = 1;
  TCurrentHubScope scope(&hub);
  const TDateTime start = Now();
  EXPECT_EQ(ev->WaitFor(30), wrTimeout);
  EXPECT_GE(Time2TimeOut(Now() - start), 30u);
}

// The gevent goes while its waiter is cleaning up after a timeout: the hub
// call of that clean-up stands for the other thread that destroys it.
class TDestroyingHub : public TSingleThreadHub {
 public:
  RefPtr<TGevent> Victim;
  void DestroyTimeout(THandle Id) override {
    TSingleThreadHub::DestroyTimeout(Id);
    Victim.reset();
  }
};

TEST(GeventDestruction, AWaiterEndingByTimeoutNeverTouchesTheGeventDestroyedMeanwhile) {
  for (bool manual : {false, true}) {
    TDestroyingHub hub;
    hub.Victim = MakeRef<TGevent>(manual, false);
    TGevent* ev = hub.Victim.get();
    TCurrentHubScope scope(&hub);
    EXPECT_EQ(ev->WaitFor(20), wrTimeout);
    EXPECT_EQ(hub.Victim, nullptr);
  }
}

// A greenlet whose wait started in another hub's pass watches the handle
// there but resumes through its own hub: the handle may be dispatched after
// the gevent is gone and before the waiter has cleaned up.
TEST(GeventDestruction, AHandleSignalledAfterTheGeventIsGoneReachesNothing) {
  THandle h = os::CreateEvent(false, false);
  auto ev = MakeRef<TGevent>(h);
  TSingleThreadHub watcher;
  TWaitResult r = wrError;
  auto g = Spawn([&] { r = ev->WaitFor(INFINITE); });
  watcher.EnqueueTask(&SwitchInto, g.get());
  watcher.Serve(0);
  ASSERT_EQ(ev->WaiterCount(), 1u);
  ev.reset();
  os::SetEvent(h);
  watcher.Serve(100);  // the pulse of the watch's registration
  watcher.Serve(100);  // the handle
  RunToEnd(g.get());
  EXPECT_EQ(r, wrAbandoned);
  os::CloseHandle(h);
}

}  // namespace
}  // namespace green
