// The hub's task queue, loop, hub-local storage and default-hub registry.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "hub/Deadline.h"
#include "hub/Hub.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

struct TCounter : TObject {
  int Runs = 0;
  void Inc() { ++Runs; }
};

struct TRaiser : TObject {
  void Raise() { throw Exception("task failed"); }
};

// A counted object that reports its destruction.
struct TCountedTask : TInterfacedObject {
  explicit TCountedTask(bool* Destroyed, int* Runs) : FDestroyed(Destroyed), FRuns(Runs) {}
  ~TCountedTask() override { *FDestroyed = true; }
  void Run() { ++*FRuns; }
  bool* FDestroyed;
  int* FRuns;
};

TEST(HubCore, ServeZeroOnIdleHubReturnsFalseAndRunsQueuedTaskWithoutWaiting) {
  TSingleThreadHub hub;
  EXPECT_FALSE(hub.Serve(0));
  TCounter c;
  hub.EnqueueTask(BindMethod<&TCounter::Inc>(&c));
  const TDateTime start = Now();
  EXPECT_TRUE(hub.Serve(INFINITE));
  EXPECT_EQ(c.Runs, 1);
  EXPECT_LT(Time2TimeOut(Now() - start), 5000u);
}

TEST(HubCore, TaskEnqueuedByTaskRunsInTheNextPass) {
  TSingleThreadHub hub;
  static TSingleThreadHub* target;
  static int second;
  target = &hub;
  second = 0;
  hub.EnqueueTask([](void*) { target->EnqueueTask([](void*) { ++second; }, nullptr); }, nullptr);
  EXPECT_TRUE(hub.ServeTaskQueue());
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(hub.ServeTaskQueue());
  EXPECT_EQ(second, 1);
}

TEST(HubCore, EmptyTaskPassOnAnotherThreadReturnsFalse) {
  bool result = true;
  std::thread([&] {
    TSingleThreadHub hub;
    result = hub.ServeTaskQueue();
  }).join();
  EXPECT_FALSE(result);
}

TEST(HubCore, RaisingTaskDiscardsRestOfBatchAndKeepsLaterArrivals) {
  TSingleThreadHub hub;
  TCounter before, after, arrived;
  TRaiser raiser;
  static TSingleThreadHub* target;
  static TCounter* late;
  target = &hub;
  late = &arrived;
  hub.EnqueueTask(BindMethod<&TCounter::Inc>(&before));
  // Enqueued during the pass, after the swap: belongs to the next pass.
  hub.EnqueueTask([](void*) { target->EnqueueTask(BindMethod<&TCounter::Inc>(late)); }, nullptr);
  hub.EnqueueTask(BindMethod<&TRaiser::Raise>(&raiser));
  hub.EnqueueTask(BindMethod<&TCounter::Inc>(&after));
  EXPECT_THROW(hub.ServeTaskQueue(), Exception);
  EXPECT_EQ(before.Runs, 1);
  EXPECT_EQ(after.Runs, 0);
  EXPECT_NE(GetCurrentHub(), &hub) << "the current hub is restored after the exception";
  EXPECT_TRUE(hub.ServeTaskQueue());
  EXPECT_EQ(arrived.Runs, 1);
  EXPECT_EQ(after.Runs, 0) << "discarded tasks never run";
}

TEST(HubCore, CountedObjectLivesUntilItsTaskRan) {
  TSingleThreadHub hub;
  bool destroyed = false;
  int runs = 0;
  {
    RefPtr<TCountedTask> task(new TCountedTask(&destroyed, &runs));
    hub.EnqueueTask(BindMethod<&TCountedTask::Run>(task.get()));
  }
  EXPECT_FALSE(destroyed);
  hub.ServeTaskQueue();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(destroyed);
}

TEST(HubCore, CleanReleasesQueuedCountedObjectsWithoutRunningThem) {
  bool destroyed = false;
  int runs = 0;
  {
    TSingleThreadHub hub;
    RefPtr<TCountedTask> task(new TCountedTask(&destroyed, &runs));
    hub.EnqueueTask(BindMethod<&TCountedTask::Run>(task.get()));
  }
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(destroyed);
}

TEST(HubCore, LoopEndsOnConditionTimeoutAndLoopExit) {
  TSingleThreadHub hub;
  static int calls;
  calls = 0;
  hub.Loop([]() { return ++calls > 0; }, INFINITE);
  EXPECT_EQ(calls, 1) << "a condition that holds at once serves nothing";

  TCounter c;
  hub.EnqueueTask(BindMethod<&TCounter::Inc>(&c));
  hub.Loop([]() { return false; }, 0);
  EXPECT_EQ(c.Runs, 0) << "a zero timeout serves nothing";

  static TSingleThreadHub* target;
  target = &hub;
  hub.EnqueueTask([](void*) { target->LoopExit(); }, nullptr);
  hub.Loop([]() { return false; }, INFINITE);
  EXPECT_EQ(c.Runs, 1);
}

TEST(HubCore, LoopWithTimeoutReturnsAfterIt) {
  TSingleThreadHub hub;
  const TDateTime start = Now();
  hub.Loop([]() { return false; }, 50);
  const uint32_t elapsed = Time2TimeOut(Now() - start);
  EXPECT_GE(elapsed, 50u);
  EXPECT_LT(elapsed, 10000u);
}

TEST(HubCore, CurrentHubIsTheDispatchingHubDuringATaskPass) {
  TSingleThreadHub hub;
  static TCustomHub* seen;
  seen = nullptr;
  hub.EnqueueTask([](void*) { seen = GetCurrentHub(); }, nullptr);
  hub.ServeTaskQueue();
  EXPECT_EQ(seen, &hub);
  EXPECT_EQ(GetCurrentHub(), DefHub(0));
}

TEST(HubCore, DefaultHubIsCreatedOncePerThread) {
  TSingleThreadHub* mine = DefHub(0);
  EXPECT_EQ(mine, DefHub(0));
  EXPECT_EQ(mine, DefHub(os::CurrentThreadId()));
  std::atomic<uint32_t> otherId{0};
  TSingleThreadHub* seenThere = nullptr;
  std::thread t([&] {
    otherId = os::CurrentThreadId();
    seenThere = DefHub(0);
  });
  t.join();
  EXPECT_NE(seenThere, mine);
  EXPECT_TRUE(seenThere->IsDef());
  delete seenThere;  // the thread has ended; its hub leaves the registry
  TSingleThreadHub* again = DefHub(otherId);
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(again, DefHub(otherId));
  delete again;
}

TEST(HubCore, HubLocalStorageOwnsItsObjects) {
  int freed = 0;
  TSingleThreadHub hub;
  hub.HLS("key", new test::TTracked(&freed));
  EXPECT_NE(hub.HLS("key"), nullptr);
  hub.HLS("key", new test::TTracked(&freed));
  EXPECT_EQ(freed, 1) << "replacing frees the old object";
  hub.HLS("key", nullptr);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(hub.HLS("key"), nullptr);
  hub.HLS("other", new test::TTracked(&freed));
  EXPECT_NE(TRawGreenletImpl::GetJoiner(&hub), nullptr) << "every hub has a joiner";
}

TEST(HubCore, HubStorageReleasesCountedObjects) {
  bool destroyed = false;
  int runs = 0;
  {
    TSingleThreadHub hub;
    hub.HLS("counted", new TCountedTask(&destroyed, &runs));
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

TEST(HubCore, GreenletMethodsAreRefusedOutsideTheProxy) {
  TSingleThreadHub hub;
  auto g = test::Spawn([] {});
  try {
    hub.EnqueueTask(BindMethod<&TRawGreenletImpl::Yield>(static_cast<TRawGreenletImpl*>(g.get())));
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "Enqueue Greenlet methods only by Proxy (Hub, line 644)");
  }
  EXPECT_FALSE(hub.ServeTaskQueue()) << "nothing was queued";
}

TEST(HubCore, PulseFromAnotherThreadEndsAnInfiniteServe) {
  TSingleThreadHub hub;
  hub.SetupEnviron();
  std::thread pulser([&] { hub.Pulse(); });
  EXPECT_TRUE(hub.Serve(INFINITE));
  pulser.join();
}

TEST(HubCore, TasksFromManyThreadsAllRun) {
  TSingleThreadHub* hub = DefHub(0);
  static std::atomic<int> runs;
  runs = 0;
  constexpr int kThreads = 3, kTasks = 500;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([hub] {
      for (int i = 0; i < kTasks; ++i) hub->EnqueueTask([](void*) { ++runs; }, nullptr);
    });
  while (runs < kThreads * kTasks) hub->Serve(INFINITE);
  for (auto& p : producers) p.join();
  hub->Serve(0);
  EXPECT_EQ(runs, kThreads * kTasks);
}

// gtest runs tests on the process's main thread.
TEST(HubCore, CallsPostedForTheMainThreadWakeItsHubAndRunInATaskPass) {
  ASSERT_TRUE(os::IsMainThread());
  TSingleThreadHub* hub = DefHub(0);
  hub->Serve(0);  // past the first serve: later ones take the short path
  for (int round = 0; round < 3; ++round) {
    std::atomic<uint32_t> ranOn{0};
    std::thread poster([&] { os::Synchronize([&] { ranOn = os::CurrentThreadId(); }); });
    const TDateTime start = Now();
    while (ranOn == 0) hub->Serve(20000);
    poster.join();
    EXPECT_EQ(ranOn.load(), os::CurrentThreadId());
    EXPECT_LT(Time2TimeOut(Now() - start), 10000u) << "the posted call woke the wait";
  }
  EXPECT_FALSE(os::GetMainThreadWakeHook()) << "the hook is put back after each serve";
}

TEST(Timeouts, ConversionsKeepEveryThirtyTwoBitTimeout) {
  EXPECT_EQ(Time2TimeOut(-1.0), 0u);
  EXPECT_EQ(Time2TimeOut(0), 0u);
  EXPECT_DOUBLE_EQ(TimeOut2Time(INFINITE), 100000.0);
  EXPECT_EQ(Time2TimeOut(TimeOut2Time(INFINITE)), INFINITE);
  for (uint32_t ms : {1u, 999u, 60000u, 3599999u, 86399999u, 90000000u, 4294967294u})
    EXPECT_EQ(Time2TimeOut(TimeOut2Time(ms)), ms) << ms;
  EXPECT_NO_THROW(TimeOut2Time(25u * 3600 * 1000)) << "25 hours is a valid timeout";
}

TEST(Timeouts, ADeadlineRoundsWhatRemainsUpAndNeverTurnsInfinite) {
  EXPECT_TRUE(TDeadline::After(0).Passed());
  EXPECT_EQ(TDeadline::After(0).RemainingTimeOut(), 0u);
  const TDeadline never = TDeadline::After(INFINITE);
  EXPECT_TRUE(never.IsNever());
  EXPECT_FALSE(never.Passed());
  EXPECT_EQ(never.RemainingTimeOut(), INFINITE);
  EXPECT_EQ(never.Nanos(), 0);
  const TDeadline soon = TDeadline::After(60000);
  EXPECT_FALSE(soon.Passed());
  // Less than a minute remains, which rounds up to the whole minute until
  // a millisecond has gone by.
  EXPECT_LE(soon.RemainingTimeOut(), 60000u);
  EXPECT_GE(soon.RemainingTimeOut(), 59000u);
  EXPECT_GT(soon.Nanos(), 0);
  EXPECT_EQ(TDeadline::After(INFINITE - 1).RemainingTimeOut(), INFINITE - 1);
}

}  // namespace
}  // namespace green

namespace green {
namespace {

// Tasks posted by the thread that serves the hub go on its ready list,
// without the queue's lock; tasks of another thread go through the queue,
// which a pass skips while it is marked empty. Both kinds, posted at once,
// all run, each once, in the order of their poster.
TEST(ReadyList, OwnAndForeignPostsAllRunOnce) {
  constexpr int kEach = 20000;
  TSingleThreadHub* hub = DefHub(0);
  struct TCount {
    int Own = 0, Foreign = 0;
    bool OwnInOrder = true, ForeignInOrder = true;
  } count;
  struct TPost {
    TCount* C;
    int N;
    bool Foreign;
  };
  std::vector<TPost> own(kEach), foreign(kEach);
  auto run = [](void* Arg) {
    auto* p = static_cast<TPost*>(Arg);
    int& n = p->Foreign ? p->C->Foreign : p->C->Own;
    if (p->N != n) (p->Foreign ? p->C->ForeignInOrder : p->C->OwnInOrder) = false;
    ++n;
  };
  std::thread other([&] {
    for (int i = 0; i < kEach; ++i) {
      foreign[i] = {&count, i, true};
      hub->EnqueueTask(run, &foreign[i]);
    }
  });
  for (int i = 0; i < kEach; ++i) {
    own[i] = {&count, i, false};
    hub->EnqueueTask(run, &own[i]);
    if (i % 64 == 0) hub->Serve(0);
  }
  other.join();
  while (count.Own < kEach || count.Foreign < kEach)
    if (!hub->Serve(5000)) break;
  EXPECT_EQ(count.Own, kEach);
  EXPECT_EQ(count.Foreign, kEach);
  EXPECT_TRUE(count.OwnInOrder);
  EXPECT_TRUE(count.ForeignInOrder);
}

// A task the serving thread posts to its own hub needs no pulse: the next
// pass runs it.
TEST(ReadyList, OwnPostRunsOnTheNextPassWithoutWaiting) {
  TSingleThreadHub* hub = DefHub(0);
  hub->Serve(0);
  bool ran = false;
  hub->EnqueueTask([](void* Ran) { *static_cast<bool*>(Ran) = true; }, &ran);
  EXPECT_TRUE(hub->ServeTaskQueue());
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace green
