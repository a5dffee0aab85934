// The public unit: join, sleep, yield, threads with their own hubs, the
// symmetric factory, the collector and tagged-value conversions.
#include <gtest/gtest.h>

#include <atomic>

#include "greenlets/Greenlets.h"
#include "platform/Thread.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

uint32_t MsSince(TDateTime Start) { return Time2TimeOut(Now() - Start); }

TEST(Join, EmptyListAndSelfAreDoneAtOnce) {
  EXPECT_TRUE(Join({}, 0));
  bool SelfJoin = false;
  auto S = TSymmetric::Spawn([&] {
    RefPtr<IRawGreenlet> Me(TRawGreenletImpl::GetCurrent());
    SelfJoin = Join({Me}, INFINITE);
  });
  EXPECT_TRUE(SelfJoin);
}

TEST(Join, TimesOutWhileTheHubKeepsRunning) {
  auto Never = MakeRef<TGevent>(false, false);
  auto Waiter = TSymmetric::Spawn([&] { Never->WaitFor(INFINITE); });
  int Ticks = 0;
  THandle Timer = DefHub(0)->CreateTimer([](THandle, void* N) { ++*static_cast<int*>(N); }, &Ticks, 10);
  const TDateTime Start = Now();
  EXPECT_FALSE(Join({Waiter}, 200));
  EXPECT_GE(MsSince(Start), 200u);
  EXPECT_GT(Ticks, 2) << "timers ran during the join";
  EXPECT_EQ(Waiter.Impl->GetState(), gsSuspended) << "nothing is killed";
  DefHub(0)->DestroyTimer(Timer);
  Never->SetEvent();
  EXPECT_TRUE(Join({Waiter}, 5000));
}

TEST(Join, ZeroTimeoutNeverWaits) {
  auto Never = MakeRef<TGevent>(false, false);
  auto Waiter = TSymmetric::Spawn([&] { Never->WaitFor(INFINITE); });
  const TDateTime Start = Now();
  EXPECT_FALSE(Join({Waiter}, 0));
  EXPECT_LT(MsSince(Start), 1000u);
  auto Ready = TSymmetric::Create([] {});
  EXPECT_TRUE(Join({Ready}, 0)) << "a ready greenlet of this hub is run by the join";
  Waiter.Kill();
}

TEST(Join, FailedWorkerIsReraisedOnRequest) {
  auto Failing = TSymmetric::Create([] { throw EConvertError("bad input"); });
  try {
    Join({Failing}, INFINITE, true);
    FAIL() << "nothing raised";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "bad input");
  }
  EXPECT_TRUE(Join({Failing}, INFINITE, false));
  EXPECT_THROW(Failing.Join(true), EConvertError) << "the greenlet's own Join is the same join";
  EXPECT_NO_THROW(Failing.Join(false));
}

TEST(Join, WaitsForGreenletsOfAnotherThread) {
  TGreenThread Thread;
  auto Release = MakeRef<TGevent>(true, false);
  std::atomic<int> Done{0};
  std::vector<RefPtr<IRawGreenlet>> Workers;
  for (int I = 0; I < 3; ++I)
    Workers.push_back(Thread.Symmetrics().Spawn([&] {
      Release->WaitFor(INFINITE);
      ++Done;
    }));
  EXPECT_FALSE(Join(Workers, 50));
  Release->SetEvent();
  EXPECT_TRUE(Join(Workers, 10000));
  EXPECT_EQ(Done.load(), 3);
}

// Workers in every state at once: one this hub runs, two asleep, one on
// another thread. The join ends when the last has ended, not at its timeout.
TEST(Join, MixedWorkersEndItAsSoonAsTheLastHasEnded) {
  TGreenThread Thread;
  bool AsleepDone = false;
  auto Runnable = TSymmetric::Create([&] {
    while (!AsleepDone) Yield();
  });
  auto Sleeper = TSymmetric::Create([] { GreenSleep(20); });
  auto LastSleeper = TSymmetric::Create([&] {
    GreenSleep(30);
    AsleepDone = true;
  });
  auto Remote = Thread.Symmetrics().Spawn([] { GreenSleep(20); });
  const TDateTime Start = Now();
  EXPECT_TRUE(Join({Runnable, Sleeper, LastSleeper, Remote}, 6000));
  EXPECT_LT(MsSince(Start), 3000u) << "the join waited for its timeout";
}

TEST(Join, InsideAGreenletYieldsToOthers) {
  int Order = 0, JoinerSaw = -1;
  auto Worker = TSymmetric::Create([&] { Order = 1; });
  auto Joiner = TSymmetric::Spawn([&] {
    Join({Worker}, INFINITE);
    JoinerSaw = Order;
  });
  EXPECT_TRUE(Join({Joiner}, 5000));
  EXPECT_EQ(JoinerSaw, 1);
}

TEST(GreenSleep, OnTheRootContextAndInsideAGreenlet) {
  TDateTime Start = Now();
  GreenSleep(0);
  EXPECT_LT(MsSince(Start), 1000u);
  Start = Now();
  GreenSleep(40);
  EXPECT_GE(MsSince(Start), 40u);

  std::vector<int> Trace;
  auto A = TSymmetric::Spawn([&] {
    Trace.push_back(1);
    GreenSleep(0);
    Trace.push_back(3);
  });
  auto B = TSymmetric::Spawn([&] { Trace.push_back(2); });
  EXPECT_TRUE(Join({A, B}, 5000));
  EXPECT_EQ(Trace, (std::vector<int>{1, 2, 3}));
}

TEST(GreenThread, KillEndsItsWaitingGreenlets) {
  auto Never = MakeRef<TGevent>(false, false);
  std::vector<RefPtr<IRawGreenlet>> Workers;
  {
    TGreenThread Thread;
    for (int I = 0; I < 3; ++I)
      Workers.push_back(Thread.Symmetrics().Spawn([&] { Never->WaitFor(INFINITE); }));
    while (Never->WaiterCount() < 3) GreenSleep(1);
    Thread.Kill(true);
    EXPECT_EQ(Thread.OnTerminate()->WaitFor(0), wrSignaled);
    Thread.Kill(true);  // a second kill does nothing
  }
  for (auto& W : Workers) EXPECT_EQ(W->GetState(), gsKilled);
}

// An exception of no class of the runtime's, raised by a task of the
// thread's hub, ends the thread as the abort does: its greenlets are killed
// and its end is announced.
TEST(GreenThread, AnyExceptionFromATaskStillKillsItsGreenletsAndEndsIt) {
  auto Started = MakeRef<TGevent>(true, false);
  auto Never = MakeRef<TGevent>(false, false);
  TGreenThread Thread;
  auto Worker = Thread.Symmetrics().Spawn([&] {
    Started->SetEvent();
    Never->WaitFor(INFINITE);
  });
  ASSERT_EQ(Started->WaitFor(10000), wrSignaled);
  DefHub(Thread.ThreadId())->EnqueueTask([](void*) { throw 42; }, nullptr);
  EXPECT_EQ(Thread.OnTerminate()->WaitFor(10000), wrSignaled);
  EXPECT_EQ(Worker.Impl->GetState(), gsKilled);
}

TEST(PublicGC, SharesOwnershipPerContext) {
  EXPECT_EQ(GC(nullptr), nullptr);
  int Freed = 0;
  auto* Obj = new test::TTracked(&Freed);
  RefPtr<IGCPointer<TObject>> Outer = GC(Obj);
  auto S = TSymmetric::Spawn([&] {
    auto First = GC(Obj), Second = GC(Obj);
    EXPECT_EQ(First.get(), Second.get());
    EXPECT_EQ(First->GetRefCount(), 2);
    EXPECT_NE(First.get(), Outer.get()) << "one wrapper per context";
  });
  EXPECT_EQ(Freed, 0);
  Outer.reset();
  EXPECT_EQ(Freed, 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
}

TEST(PublicGC, NothingIsManagedWhileAGreenletIsBeingKilled) {
  int Freed = 0;
  test::TTracked Obj(&Freed);
  RefPtr<IGCPointer<TObject>> InKill;
  bool Ran = false;
  auto S = TSymmetric::Spawn([&] {
    try {
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    } catch (...) {
      InKill = GC(&Obj);
      Ran = true;
      throw;
    }
  });
  S.Kill();
  EXPECT_TRUE(Ran);
  EXPECT_EQ(InKill, nullptr);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(&Obj));
}

TEST(SmartPointer, KeepsItsObjectAlive) {
  int Freed = 0;
  {
    TSmartPointer<test::TTracked> P(new test::TTracked(&Freed));
    TSmartPointer<test::TTracked> Copy = P;
    EXPECT_EQ(Copy.Get()->FCounter, &Freed);
  }
  EXPECT_EQ(Freed, 1);
}

TEST(SymmetricFactory, RunsOnItsHubsThread) {
  TGreenThread Thread;
  std::atomic<uint32_t> RanOn{0};
  auto S = Thread.Symmetrics().Spawn([&] { RanOn = os::CurrentThreadId(); });
  EXPECT_TRUE(Join({S}, 10000));
  EXPECT_EQ(RanOn.load(), Thread.ThreadId());
}

TEST(VarRec, ConversionsAndTheirFailures) {
  const int64_t Big = (int64_t(1) << 40) + 5;
  const std::string Text = "abc";
  const TVariant V = int64_t(12);
  int Freed = 0;
  test::TTracked Obj(&Freed);
  EXPECT_EQ(AsInteger(TVarRec(true)), 1);
  EXPECT_EQ(AsInteger(TVarRec(Big)), 5);
  EXPECT_EQ(AsInt64(TVarRec(int32_t(-3))), -3);
  EXPECT_EQ(AsInt64(TVarRec(Big)), Big);
  EXPECT_EQ(AsInt64(TVarRec(V)), 12);
  EXPECT_TRUE(TVarRec(Big).AsBoolean());
  EXPECT_FALSE(TVarRec(int32_t(0)).AsBoolean());
  EXPECT_EQ(TVarRec(true).AsString(), "True");
  EXPECT_EQ(TVarRec(int32_t(42)).AsString(), "42");
  EXPECT_EQ(TVarRec(Text).AsString(), "abc");
  EXPECT_EQ(TVarRec('x').AsString(), "x");
  EXPECT_EQ(TVarRec::Pointer(reinterpret_cast<void*>(0xBEEF)).AsString(), "BEEF");
  EXPECT_EQ(TVarRec(static_cast<TObject*>(&Obj)).AsString(),
            "TTracked instance: " + TVarRec::Pointer(&Obj).AsString());
  auto ExpectFailure = [](auto Call, const char* Message) {
    try {
      Call();
      ADD_FAILURE() << "no error";
    } catch (const EAssertionFailed& E) {
      EXPECT_EQ(E.Message().rfind(Message, 0), 0u) << E.Message();
    }
  };
  ExpectFailure([&] { AsInteger(TVarRec(Text)); }, "Can't convert VarRec to Integer");
  ExpectFailure([&] { AsInt64(TVarRec('c')); }, "Can't convert VarRec to Int64");
  ExpectFailure([&] { TVarRec(Text).AsBoolean(); }, "Can't convert VarRec to Boolean");
  ExpectFailure([&] { TVarRec(static_cast<IInterface*>(nullptr)).AsString(); },
                "Can't convert VarRec to String");
}

}  // namespace
}  // namespace green
