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
  bool selfJoin = false;
  auto s = TSymmetric::Spawn([&] {
    RefPtr<IRawGreenlet> me(TRawGreenletImpl::GetCurrent());
    selfJoin = Join({me}, INFINITE);
  });
  EXPECT_TRUE(selfJoin);
}

TEST(Join, TimesOutWhileTheHubKeepsRunning) {
  auto never = MakeRef<TGevent>(false, false);
  auto waiter = TSymmetric::Spawn([&] { never->WaitFor(INFINITE); });
  int ticks = 0;
  THandle timer = DefHub(0)->CreateTimer([](THandle, void* n) { ++*static_cast<int*>(n); }, &ticks, 10);
  const TDateTime start = Now();
  EXPECT_FALSE(Join({waiter}, 200));
  EXPECT_GE(MsSince(start), 200u);
  EXPECT_GT(ticks, 2) << "timers ran during the join";
  EXPECT_EQ(waiter.Impl->GetState(), gsSuspended) << "nothing is killed";
  DefHub(0)->DestroyTimer(timer);
  never->SetEvent();
  EXPECT_TRUE(Join({waiter}, 5000));
}

TEST(Join, ZeroTimeoutNeverWaits) {
  auto never = MakeRef<TGevent>(false, false);
  auto waiter = TSymmetric::Spawn([&] { never->WaitFor(INFINITE); });
  const TDateTime start = Now();
  EXPECT_FALSE(Join({waiter}, 0));
  EXPECT_LT(MsSince(start), 1000u);
  auto ready = TSymmetric::Create([] {});
  EXPECT_TRUE(Join({ready}, 0)) << "a ready greenlet of this hub is run by the join";
  waiter.Kill();
}

TEST(Join, FailedWorkerIsReraisedOnRequest) {
  auto failing = TSymmetric::Create([] { throw EConvertError("bad input"); });
  try {
    Join({failing}, INFINITE, true);
    FAIL() << "nothing raised";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "bad input");
  }
  EXPECT_TRUE(Join({failing}, INFINITE, false));
  EXPECT_THROW(failing.Join(true), EConvertError) << "the greenlet's own Join is the same join";
  EXPECT_NO_THROW(failing.Join(false));
}

TEST(Join, WaitsForGreenletsOfAnotherThread) {
  TGreenThread thread;
  auto release = MakeRef<TGevent>(true, false);
  std::atomic<int> done{0};
  std::vector<RefPtr<IRawGreenlet>> workers;
  for (int i = 0; i < 3; ++i)
    workers.push_back(thread.Symmetrics().Spawn([&] {
      release->WaitFor(INFINITE);
      ++done;
    }));
  EXPECT_FALSE(Join(workers, 50));
  release->SetEvent();
  EXPECT_TRUE(Join(workers, 10000));
  EXPECT_EQ(done.load(), 3);
}

// Workers in every state at once: one this hub runs, two asleep, one on
// another thread. The join ends when the last has ended, not at its timeout.
TEST(Join, MixedWorkersEndItAsSoonAsTheLastHasEnded) {
  TGreenThread thread;
  bool asleepDone = false;
  auto runnable = TSymmetric::Create([&] {
    while (!asleepDone) Yield();
  });
  auto sleeper = TSymmetric::Create([] { GreenSleep(20); });
  auto lastSleeper = TSymmetric::Create([&] {
    GreenSleep(30);
    asleepDone = true;
  });
  auto remote = thread.Symmetrics().Spawn([] { GreenSleep(20); });
  const TDateTime start = Now();
  EXPECT_TRUE(Join({runnable, sleeper, lastSleeper, remote}, 6000));
  EXPECT_LT(MsSince(start), 3000u) << "the join waited for its timeout";
}

TEST(Join, InsideAGreenletYieldsToOthers) {
  int order = 0, joinerSaw = -1;
  auto worker = TSymmetric::Create([&] { order = 1; });
  auto joiner = TSymmetric::Spawn([&] {
    Join({worker}, INFINITE);
    joinerSaw = order;
  });
  EXPECT_TRUE(Join({joiner}, 5000));
  EXPECT_EQ(joinerSaw, 1);
}

TEST(GreenSleep, OnTheRootContextAndInsideAGreenlet) {
  TDateTime start = Now();
  GreenSleep(0);
  EXPECT_LT(MsSince(start), 1000u);
  start = Now();
  GreenSleep(40);
  EXPECT_GE(MsSince(start), 40u);

  std::vector<int> trace;
  auto a = TSymmetric::Spawn([&] {
    trace.push_back(1);
    GreenSleep(0);
    trace.push_back(3);
  });
  auto b = TSymmetric::Spawn([&] { trace.push_back(2); });
  EXPECT_TRUE(Join({a, b}, 5000));
  EXPECT_EQ(trace, (std::vector<int>{1, 2, 3}));
}

TEST(GreenThread, KillEndsItsWaitingGreenlets) {
  auto never = MakeRef<TGevent>(false, false);
  std::vector<RefPtr<IRawGreenlet>> workers;
  {
    TGreenThread thread;
    for (int i = 0; i < 3; ++i)
      workers.push_back(thread.Symmetrics().Spawn([&] { never->WaitFor(INFINITE); }));
    while (never->WaiterCount() < 3) GreenSleep(1);
    thread.Kill(true);
    EXPECT_EQ(thread.OnTerminate()->WaitFor(0), wrSignaled);
    thread.Kill(true);  // a second kill does nothing
  }
  for (auto& w : workers) EXPECT_EQ(w->GetState(), gsKilled);
}

// An exception of no class of the runtime's, raised by a task of the
// thread's hub, ends the thread as the abort does: its greenlets are killed
// and its end is announced.
TEST(GreenThread, AnyExceptionFromATaskStillKillsItsGreenletsAndEndsIt) {
  auto started = MakeRef<TGevent>(true, false);
  auto never = MakeRef<TGevent>(false, false);
  TGreenThread thread;
  auto worker = thread.Symmetrics().Spawn([&] {
    started->SetEvent();
    never->WaitFor(INFINITE);
  });
  ASSERT_EQ(started->WaitFor(10000), wrSignaled);
  DefHub(thread.ThreadId())->EnqueueTask([](void*) { throw 42; }, nullptr);
  EXPECT_EQ(thread.OnTerminate()->WaitFor(10000), wrSignaled);
  EXPECT_EQ(worker.Impl->GetState(), gsKilled);
}

TEST(PublicGC, SharesOwnershipPerContext) {
  EXPECT_EQ(GC(nullptr), nullptr);
  int freed = 0;
  auto* obj = new test::TTracked(&freed);
  RefPtr<IGCPointer<TObject>> outer = GC(obj);
  auto s = TSymmetric::Spawn([&] {
    auto first = GC(obj), second = GC(obj);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->GetRefCount(), 2);
    EXPECT_NE(first.get(), outer.get()) << "one wrapper per context";
  });
  EXPECT_EQ(freed, 0);
  outer.reset();
  EXPECT_EQ(freed, 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
}

TEST(PublicGC, NothingIsManagedWhileAGreenletIsBeingKilled) {
  int freed = 0;
  test::TTracked obj(&freed);
  RefPtr<IGCPointer<TObject>> inKill;
  bool ran = false;
  auto s = TSymmetric::Spawn([&] {
    try {
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    } catch (...) {
      inKill = GC(&obj);
      ran = true;
      throw;
    }
  });
  s.Kill();
  EXPECT_TRUE(ran);
  EXPECT_EQ(inKill, nullptr);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(&obj));
}

TEST(SmartPointer, KeepsItsObjectAlive) {
  int freed = 0;
  {
    TSmartPointer<test::TTracked> p(new test::TTracked(&freed));
    TSmartPointer<test::TTracked> copy = p;
    EXPECT_EQ(copy.Get()->FCounter, &freed);
  }
  EXPECT_EQ(freed, 1);
}

TEST(SymmetricFactory, RunsOnItsHubsThread) {
  TGreenThread thread;
  std::atomic<uint32_t> ranOn{0};
  auto s = thread.Symmetrics().Spawn([&] { ranOn = os::CurrentThreadId(); });
  EXPECT_TRUE(Join({s}, 10000));
  EXPECT_EQ(ranOn.load(), thread.ThreadId());
}

TEST(VarRec, ConversionsAndTheirFailures) {
  const int64_t big = (int64_t(1) << 40) + 5;
  const std::string text = "abc";
  const TVariant v = int64_t(12);
  int freed = 0;
  test::TTracked obj(&freed);
  EXPECT_EQ(AsInteger(TVarRec(true)), 1);
  EXPECT_EQ(AsInteger(TVarRec(big)), 5);
  EXPECT_EQ(AsInt64(TVarRec(int32_t(-3))), -3);
  EXPECT_EQ(AsInt64(TVarRec(big)), big);
  EXPECT_EQ(AsInt64(TVarRec(v)), 12);
  EXPECT_TRUE(TVarRec(big).AsBoolean());
  EXPECT_FALSE(TVarRec(int32_t(0)).AsBoolean());
  EXPECT_EQ(TVarRec(true).AsString(), "True");
  EXPECT_EQ(TVarRec(int32_t(42)).AsString(), "42");
  EXPECT_EQ(TVarRec(text).AsString(), "abc");
  EXPECT_EQ(TVarRec('x').AsString(), "x");
  EXPECT_EQ(TVarRec::Pointer(reinterpret_cast<void*>(0xBEEF)).AsString(), "BEEF");
  EXPECT_EQ(TVarRec(static_cast<TObject*>(&obj)).AsString(),
            "TTracked instance: " + TVarRec::Pointer(&obj).AsString());
  auto expectFailure = [](auto call, const char* message) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(e.Message().rfind(message, 0), 0u) << e.Message();
    }
  };
  expectFailure([&] { AsInteger(TVarRec(text)); }, "Can't convert VarRec to Integer");
  expectFailure([&] { AsInt64(TVarRec('c')); }, "Can't convert VarRec to Int64");
  expectFailure([&] { TVarRec(text).AsBoolean(); }, "Can't convert VarRec to Boolean");
  expectFailure([&] { TVarRec(static_cast<IInterface*>(nullptr)).AsString(); },
                "Can't convert VarRec to String");
}

}  // namespace
}  // namespace green
