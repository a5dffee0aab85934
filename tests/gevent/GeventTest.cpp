// Waiting on gevents from greenlets and from plain threads.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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
  const TDateTime Deadline = Now() + TimeOut2Time(10000);
  while (G->GetState() != gsTerminated && G->GetState() != gsKilled &&
         G->GetState() != gsException && Now() < Deadline)
    DefHub(0)->Serve(100);
  ASSERT_LT(Now(), Deadline) << "greenlet did not end";
}

TEST(Gevent, ZeroTimeoutAnswersAtOnceWithoutRegistering) {
  auto Ev = MakeRef<TGevent>(false, false);
  EXPECT_EQ(Ev->WaitFor(0), wrTimeout);
  EXPECT_EQ(Ev->WaiterCount(), 0u);
}

TEST(Gevent, ManualResetStaysSignalledAutoResetIsConsumed) {
  auto Manual = MakeRef<TGevent>(true, true);
  EXPECT_EQ(Manual->WaitFor(0), wrSignaled);
  EXPECT_TRUE(Manual->IsSignaled());
  Manual->ResetEvent();
  EXPECT_FALSE(Manual->IsSignaled());

  auto AutoEv = MakeRef<TGevent>(false, false);
  AutoEv->SetEvent();
  AutoEv->ResetEvent();
  EXPECT_TRUE(AutoEv->IsSignaled()) << "ResetEvent leaves an auto-reset signal in place";
  EXPECT_EQ(AutoEv->WaitFor(INFINITE), wrSignaled);
  EXPECT_FALSE(AutoEv->IsSignaled());
  EXPECT_EQ(AutoEv->WaitFor(0), wrTimeout);
}

TEST(Gevent, OneSignalWakesBothGreenletWaitersOfAnAutoResetEvent) {
  auto Ev = MakeRef<TGevent>(false, false);
  TWaitResult R1 = wrError, R2 = wrError;
  auto G1 = Spawn([&] { R1 = Ev->WaitFor(INFINITE); });
  auto G2 = Spawn([&] { R2 = Ev->WaitFor(INFINITE); });
  G1->Switch();
  G2->Switch();
  EXPECT_EQ(G1->GetState(), gsSuspended);
  EXPECT_EQ(Ev->WaiterCount(), 2u);
  Ev->SetEvent();
  RunToEnd(G1.get());
  RunToEnd(G2.get());
  EXPECT_EQ(R1, wrSignaled);
  EXPECT_EQ(R2, wrSignaled);
  EXPECT_FALSE(Ev->IsSignaled());
  EXPECT_EQ(Ev->WaiterCount(), 0u);
}

TEST(Gevent, GreenletWaitTimesOutNoEarlierThanItsDeadline) {
  auto Ev = MakeRef<TGevent>(false, false);
  TWaitResult R = wrError;
  TDateTime Waited = 0;
  auto G = Spawn([&] {
    const TDateTime Start = Now();
    R = Ev->WaitFor(50);
    Waited = Now() - Start;
  });
  G->Switch();
  RunToEnd(G.get());
  EXPECT_EQ(R, wrTimeout);
  EXPECT_GE(Time2TimeOut(Waited), 50u);
  EXPECT_EQ(Ev->WaiterCount(), 0u);
}

TEST(Gevent, ThreadWaitServesTheHubMeanwhile) {
  auto Ev = MakeRef<TGevent>(false, false);
  int Ticks = 0;
  auto Ticker = Spawn([&] {
    for (;;) {
      ++Ticks;
      TRawGreenletImpl::GetCurrent()->Sleep(5);
    }
  });
  Ticker->Switch();
  const TDateTime Start = Now();
  EXPECT_EQ(Ev->WaitFor(80), wrTimeout);
  EXPECT_GE(Time2TimeOut(Now() - Start), 80u);
  EXPECT_GT(Ticks, 2) << "the greenlet kept running during the thread's wait";
  Ticker->Kill();
}

TEST(Gevent, ThreadTimeoutDoesNotDisturbAGreenletWaiter) {
  auto Ev = MakeRef<TGevent>(false, false);
  TWaitResult R = wrError;
  auto G = Spawn([&] { R = Ev->WaitFor(INFINITE); });
  G->Switch();
  EXPECT_EQ(Ev->WaitFor(20), wrTimeout);
  EXPECT_EQ(G->GetState(), gsSuspended);
  Ev->SetEvent();
  RunToEnd(G.get());
  EXPECT_EQ(R, wrSignaled);
}

TEST(Gevent, SyncSignalResumesASameHubWaiterBeforeReturning) {
  // The one waiter takes an auto-reset signal with it; a manual one stays.
  for (const bool Manual : {false, true}) {
    auto Ev = MakeRef<TGevent>(Manual, false);
    TWaitResult R = wrError;
    auto Waiter = Spawn([&] { R = Ev->WaitFor(INFINITE); });
    Waiter->Switch();
    TWaitResult SeenInSignaller = wrError;
    auto Signaller = Spawn([&] {
      Ev->SetEvent(true);
      SeenInSignaller = R;
    });
    Signaller->Switch();
    EXPECT_EQ(SeenInSignaller, wrSignaled) << "manual " << Manual;
    EXPECT_EQ(Ev->IsSignaled(), Manual);
    EXPECT_EQ(Ev->WaiterCount(), 0u);
  }

  auto Ev = MakeRef<TGevent>(false, false);
  bool Woke = false;
  auto Waiter2 = Spawn([&] {
    Ev->WaitFor(INFINITE);
    Woke = true;
  });
  Waiter2->Switch();
  Ev->SetEvent(false);
  EXPECT_FALSE(Woke) << "an asynchronous signal resumes through the hub";
  RunToEnd(Waiter2.get());
  EXPECT_TRUE(Woke);
}

// The one waiter of this hub is handed the auto-reset signal at once; killed
// before it ran, it must not take the signal with it.
TEST(Gevent, AHandedOverSignalPassesOnWhenItsWaiterIsKilledFirst) {
  auto Ev = MakeRef<TGevent>(false, false);
  auto G = Spawn([&] { Ev->WaitFor(INFINITE); });
  G->Switch();
  Ev->SetEvent();
  EXPECT_FALSE(Ev->IsSignaled()) << "handed over";
  G->Kill();
  EXPECT_TRUE(Ev->IsSignaled());
  EXPECT_EQ(Ev->WaitFor(0), wrSignaled);
}

// The hub's list of wake-ups holds the wait's descriptor, not the waiter: a
// waiter whose last holder lets go first is killed then, and its wake-up
// finds nothing; one woken again before the hub serves costs no other
// waiter its wake-up.
TEST(Gevent, AQueuedWakeUpNeitherKeepsItsWaiterAliveNorRunsTwice) {
  auto Ev = MakeRef<TGevent>(false, false);
  bool Woke = false;
  bool Gone = false;
  // Freed with the greenlet's body: its deleter tells when that happened.
  std::shared_ptr<void> Mark(nullptr, [&Gone](void*) { Gone = true; });
  auto G = Spawn([&, Mark = std::move(Mark)] {
    Ev->WaitFor(INFINITE);
    Woke = true;
  });
  G->Switch();
  Ev->SetEvent();
  G.reset();
  EXPECT_TRUE(Gone) << "the last holder's release frees the greenlet at once";
  DefHub(0)->Serve(0);
  EXPECT_FALSE(Woke);

  // Three waiters on gevents of their own, p woken again after q was
  // queued and before r: each runs once per wake-up, none is lost.
  struct TWaiter {
    RefPtr<TGevent> Ev = MakeRef<TGevent>(false, false);
    int Wakes = 0;
    RefPtr<test::TLambdaGreenlet> G;
  } W[3];
  for (TWaiter& X : W) {
    X.G = Spawn([&X] {
      for (;;) {
        X.Ev->WaitFor(INFINITE);
        ++X.Wakes;
      }
    });
    X.G->Switch();
  }
  W[0].Ev->SetEvent();
  W[1].Ev->SetEvent();
  W[0].G->Resume();  // runs p's wake-up ahead of the hub
  ASSERT_EQ(W[0].Wakes, 1);
  W[0].Ev->SetEvent();
  W[2].Ev->SetEvent();
  DefHub(0)->Serve(0);
  DefHub(0)->Serve(0);
  EXPECT_EQ(W[0].Wakes, 2);
  EXPECT_EQ(W[1].Wakes, 1);
  EXPECT_EQ(W[2].Wakes, 1);
  for (TWaiter& X : W) X.G->Kill();
}

// Wake-ups still queued when their hub goes are dropped with its tasks.
TEST(Gevent, WakeUpsQueuedOnAHubThatGoesAreReleasedWithIt) {
  auto First = MakeRef<TGevent>(false, false), Second = MakeRef<TGevent>(false, false);
  bool SecondWoke = false;
  auto Hub = std::make_unique<TSingleThreadHub>();
  RefPtr<test::TLambdaGreenlet> A, B;
  {
    TCurrentHubScope Scope(Hub.get());
    A = Spawn([&] {
      First->WaitFor(INFINITE);
      Second->SetEvent();
    });
    B = Spawn([&] {
      Second->WaitFor(INFINITE);
      SecondWoke = true;
    });
    A->Switch();
    B->Switch();
  }
  Hub->EnqueueTask([](void* Ev) { static_cast<TGevent*>(Ev)->SetEvent(); }, First.get());
  Hub->Serve(0);  // the task wakes a, which wakes b on the next pass
  ASSERT_EQ(A->GetState(), gsTerminated);
  Hub.reset();
  EXPECT_FALSE(SecondWoke);
  B->Kill();
  ASSERT_TRUE(B->SpareWait());
  EXPECT_TRUE(B->SpareWait()->SoleReference()) << "the hub let go of the wait's descriptor";
}

TEST(Gevent, DestructionEndsGreenletAndThreadWaitsWithAbandoned) {
  auto Ev = MakeRef<TGevent>(true, false);
  TWaitResult GreenResult = wrError;
  auto G = Spawn([&] { GreenResult = Ev->WaitFor(INFINITE); });
  G->Switch();
  std::atomic<TWaitResult> ThreadResult{wrError};
  TGevent* Raw = Ev.get();
  std::thread Waiter([&] { ThreadResult = Raw->WaitFor(INFINITE); });
  while (Ev->WaiterCount() < 2) std::this_thread::yield();
  Ev.reset();
  Waiter.join();
  RunToEnd(G.get());
  EXPECT_EQ(GreenResult, wrAbandoned);
  EXPECT_EQ(ThreadResult.load(), wrAbandoned);
}

TEST(Gevent, SignalFromAnotherThreadWakesAThreadWaiter) {
  auto Ev = MakeRef<TGevent>(false, false);
  std::thread Signaller([&] {
    while (Ev->WaiterCount() == 0) std::this_thread::yield();
    Ev->SetEvent();
  });
  EXPECT_EQ(Ev->WaitFor(10000), wrSignaled);
  Signaller.join();
}

TEST(Gevent, KernelHandleIsWatchedOnlyDuringTheWait) {
  THandle H = os::CreateEvent(false, false);
  auto Ev = MakeRef<TGevent>(H);
  std::thread Setter([&] {
    while (Ev->WaiterCount() == 0) std::this_thread::yield();
    os::SetEvent(H);
  });
  EXPECT_EQ(Ev->WaitFor(10000), wrSignaled);
  Setter.join();
  os::SetEvent(H);
  DefHub(0)->Serve(30);
  DefHub(0)->Serve(0);
  EXPECT_EQ(os::WaitForSingleObject(H, 0), os::kWaitObject0)
      << "the hub no longer watches the handle, so nobody consumed it";
  Ev.reset();
  os::CloseHandle(H);
}

TEST(Gevent, WaitDuringAKillIsAbandonedUnlessAnAutoResetSignalIsThere) {
  auto Manual = MakeRef<TGevent>(true, true);
  auto AutoEv = MakeRef<TGevent>(false, true);
  TWaitResult OnManual = wrError, OnAuto = wrError;
  auto G = Spawn([&] {
    try {
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    } catch (...) {
      OnManual = Manual->WaitFor(INFINITE);
      OnAuto = AutoEv->WaitFor(INFINITE);
      throw;
    }
  });
  G->Switch();
  G->Kill();
  EXPECT_EQ(G->GetState(), gsKilled);
  EXPECT_EQ(OnManual, wrAbandoned);
  EXPECT_EQ(OnAuto, wrSignaled);
  EXPECT_FALSE(AutoEv->IsSignaled());
}

TEST(Gevent, CrossThreadSignalsAreNeverLost) {
  constexpr int kRounds = 300;
  auto Ping = MakeRef<TGevent>(false, false);
  auto Pong = MakeRef<TGevent>(false, false);
  std::thread Other([&] {
    for (int I = 0; I < kRounds; ++I) {
      ASSERT_EQ(Ping->WaitFor(10000), wrSignaled);
      Pong->SetEvent();
    }
  });
  int Done = 0;
  auto G = Spawn([&] {
    for (int I = 0; I < kRounds; ++I) {
      Ping->SetEvent();
      if (Pong->WaitFor(10000) != wrSignaled) break;
      ++Done;
    }
  });
  G->Switch();
  RunToEnd(G.get());
  Other.join();
  EXPECT_EQ(Done, kRounds);
}

// A greenlet's waits one after another: each starts afresh, whatever ended
// the one before (a signal, the gevent's destruction, a timeout).
TEST(Gevent, EachWaitOfAGreenletStartsAfreshAfterTheLastOneEnded) {
  auto First = MakeRef<TGevent>(false, false);
  auto Second = MakeRef<TGevent>(false, false);
  TWaitResult Signalled = wrError, Abandoned = wrError, TimedOut = wrError, Again = wrError;
  auto G = Spawn([&] {
    Signalled = First->WaitFor(INFINITE);
    Abandoned = First->WaitFor(INFINITE);
    TimedOut = Second->WaitFor(20);
    Again = Second->WaitFor(INFINITE);
  });
  auto Waiting = [&] { return G->GetState() == gsExecute || G->GetState() == gsSuspended; };
  const TDateTime Deadline = Now() + TimeOut2Time(10000);
  G->Switch();
  First->SetEvent();
  while (First->WaiterCount() == 0 && Waiting() && Now() < Deadline) DefHub(0)->Serve(10);
  ASSERT_EQ(First->WaiterCount(), 1u);
  First.reset();
  while ((Second->WaiterCount() == 0 || TimedOut == wrError) && Waiting() && Now() < Deadline)
    DefHub(0)->Serve(10);
  ASSERT_EQ(Second->WaiterCount(), 1u);
  Second->SetEvent();
  RunToEnd(G.get());
  EXPECT_EQ(Signalled, wrSignaled);
  EXPECT_EQ(Abandoned, wrAbandoned);
  EXPECT_EQ(TimedOut, wrTimeout);
  EXPECT_EQ(Again, wrSignaled);
  EXPECT_EQ(Second->WaiterCount(), 0u);
}

void SwitchInto(void* G) { static_cast<TRawGreenletImpl*>(G)->Switch(); }

// Serves Hub until G has ended or the time is up.
void ServeToEnd(TSingleThreadHub& Hub, TRawGreenletImpl* G, uint32_t TimeoutMs) {
  const TDateTime Deadline = Now() + TimeOut2Time(TimeoutMs);
  while (G->GetState() != gsTerminated && Now() < Deadline) Hub.Serve(50);
}

// Timed waits whose timer the system refuses still end at their deadline,
// and leave nothing behind.
TEST(Gevent, TimedWaitsEndAtTheirDeadlineWhenTheTimerIsRefused) {
  test::TFailingArmHub Hub;
  auto Ev = MakeRef<TGevent>(false, false);
  TWaitResult GreenResult = wrError;
  auto G = Spawn([&] { GreenResult = Ev->WaitFor(30); });
  G->SetHub(&Hub);
  Hub.FailArmings = 1;
  Hub.EnqueueTask(&SwitchInto, G.get());
  ServeToEnd(Hub, G.get(), 5000);
  EXPECT_EQ(G->GetState(), gsTerminated) << "the greenlet's wait outlived its deadline";
  EXPECT_EQ(GreenResult, wrTimeout);

  Hub.FailArmings = 1;
  TCurrentHubScope Scope(&Hub);
  const TDateTime Start = Now();
  EXPECT_EQ(Ev->WaitFor(30), wrTimeout);
  EXPECT_GE(Time2TimeOut(Now() - Start), 30u);
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
  for (bool Manual : {false, true}) {
    TDestroyingHub Hub;
    Hub.Victim = MakeRef<TGevent>(Manual, false);
    TGevent* Ev = Hub.Victim.get();
    TCurrentHubScope Scope(&Hub);
    EXPECT_EQ(Ev->WaitFor(20), wrTimeout);
    EXPECT_EQ(Hub.Victim, nullptr);
  }
}

// A greenlet whose wait started in another hub's pass watches the handle
// there but resumes through its own hub: the handle may be dispatched after
// the gevent is gone and before the waiter has cleaned up.
TEST(GeventDestruction, AHandleSignalledAfterTheGeventIsGoneReachesNothing) {
  THandle H = os::CreateEvent(false, false);
  auto Ev = MakeRef<TGevent>(H);
  TSingleThreadHub Watcher;
  TWaitResult R = wrError;
  auto G = Spawn([&] { R = Ev->WaitFor(INFINITE); });
  Watcher.EnqueueTask(&SwitchInto, G.get());
  Watcher.Serve(0);
  ASSERT_EQ(Ev->WaiterCount(), 1u);
  Ev.reset();
  os::SetEvent(H);
  Watcher.Serve(100);  // the pulse of the watch's registration
  Watcher.Serve(100);  // the handle
  RunToEnd(G.get());
  EXPECT_EQ(R, wrAbandoned);
  os::CloseHandle(H);
}

}  // namespace
}  // namespace green
