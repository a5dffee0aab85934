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
  TSingleThreadHub Hub;
  EXPECT_FALSE(Hub.Serve(0));
  TCounter C;
  Hub.EnqueueTask(BindMethod<&TCounter::Inc>(&C));
  const TDateTime Start = Now();
  EXPECT_TRUE(Hub.Serve(INFINITE));
  EXPECT_EQ(C.Runs, 1);
  EXPECT_LT(Time2TimeOut(Now() - Start), 5000u);
}

TEST(HubCore, TaskEnqueuedByTaskRunsInTheNextPass) {
  TSingleThreadHub Hub;
  static TSingleThreadHub* target;
  static int second;
  target = &Hub;
  second = 0;
  Hub.EnqueueTask([](void*) { target->EnqueueTask([](void*) { ++second; }, nullptr); }, nullptr);
  EXPECT_TRUE(Hub.ServeTaskQueue());
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(Hub.ServeTaskQueue());
  EXPECT_EQ(second, 1);
}

TEST(HubCore, EmptyTaskPassOnAnotherThreadReturnsFalse) {
  bool Result = true;
  std::thread([&] {
    TSingleThreadHub Hub;
    Result = Hub.ServeTaskQueue();
  }).join();
  EXPECT_FALSE(Result);
}

TEST(HubCore, RaisingTaskDiscardsRestOfBatchAndKeepsLaterArrivals) {
  TSingleThreadHub Hub;
  TCounter Before, After, Arrived;
  TRaiser Raiser;
  static TSingleThreadHub* target;
  static TCounter* late;
  target = &Hub;
  late = &Arrived;
  Hub.EnqueueTask(BindMethod<&TCounter::Inc>(&Before));
  // Enqueued during the pass, after the swap: belongs to the next pass.
  Hub.EnqueueTask([](void*) { target->EnqueueTask(BindMethod<&TCounter::Inc>(late)); }, nullptr);
  Hub.EnqueueTask(BindMethod<&TRaiser::Raise>(&Raiser));
  Hub.EnqueueTask(BindMethod<&TCounter::Inc>(&After));
  EXPECT_THROW(Hub.ServeTaskQueue(), Exception);
  EXPECT_EQ(Before.Runs, 1);
  EXPECT_EQ(After.Runs, 0);
  EXPECT_NE(GetCurrentHub(), &Hub) << "the current hub is restored after the exception";
  EXPECT_TRUE(Hub.ServeTaskQueue());
  EXPECT_EQ(Arrived.Runs, 1);
  EXPECT_EQ(After.Runs, 0) << "discarded tasks never run";
}

TEST(HubCore, CountedObjectLivesUntilItsTaskRan) {
  TSingleThreadHub Hub;
  bool Destroyed = false;
  int Runs = 0;
  {
    RefPtr<TCountedTask> Task(new TCountedTask(&Destroyed, &Runs));
    Hub.EnqueueTask(BindMethod<&TCountedTask::Run>(Task.get()));
  }
  EXPECT_FALSE(Destroyed);
  Hub.ServeTaskQueue();
  EXPECT_EQ(Runs, 1);
  EXPECT_TRUE(Destroyed);
}

TEST(HubCore, CleanReleasesQueuedCountedObjectsWithoutRunningThem) {
  bool Destroyed = false;
  int Runs = 0;
  {
    TSingleThreadHub Hub;
    RefPtr<TCountedTask> Task(new TCountedTask(&Destroyed, &Runs));
    Hub.EnqueueTask(BindMethod<&TCountedTask::Run>(Task.get()));
  }
  EXPECT_EQ(Runs, 0);
  EXPECT_TRUE(Destroyed);
}

TEST(HubCore, LoopEndsOnConditionTimeoutAndLoopExit) {
  TSingleThreadHub Hub;
  static int calls;
  calls = 0;
  Hub.Loop([]() { return ++calls > 0; }, INFINITE);
  EXPECT_EQ(calls, 1) << "a condition that holds at once serves nothing";

  TCounter C;
  Hub.EnqueueTask(BindMethod<&TCounter::Inc>(&C));
  Hub.Loop([]() { return false; }, 0);
  EXPECT_EQ(C.Runs, 0) << "a zero timeout serves nothing";

  static TSingleThreadHub* target;
  target = &Hub;
  Hub.EnqueueTask([](void*) { target->LoopExit(); }, nullptr);
  Hub.Loop([]() { return false; }, INFINITE);
  EXPECT_EQ(C.Runs, 1);
}

TEST(HubCore, LoopWithTimeoutReturnsAfterIt) {
  TSingleThreadHub Hub;
  const TDateTime Start = Now();
  Hub.Loop([]() { return false; }, 50);
  const uint32_t Elapsed = Time2TimeOut(Now() - Start);
  EXPECT_GE(Elapsed, 50u);
  EXPECT_LT(Elapsed, 10000u);
}

TEST(HubCore, CurrentHubIsTheDispatchingHubDuringATaskPass) {
  TSingleThreadHub Hub;
  static TCustomHub* seen;
  seen = nullptr;
  Hub.EnqueueTask([](void*) { seen = GetCurrentHub(); }, nullptr);
  Hub.ServeTaskQueue();
  EXPECT_EQ(seen, &Hub);
  EXPECT_EQ(GetCurrentHub(), DefHub(0));
}

TEST(HubCore, DefaultHubIsCreatedOncePerThread) {
  TSingleThreadHub* Mine = DefHub(0);
  EXPECT_EQ(Mine, DefHub(0));
  EXPECT_EQ(Mine, DefHub(os::CurrentThreadId()));
  std::atomic<uint32_t> OtherId{0};
  TSingleThreadHub* SeenThere = nullptr;
  std::thread T([&] {
    OtherId = os::CurrentThreadId();
    SeenThere = DefHub(0);
  });
  T.join();
  EXPECT_NE(SeenThere, Mine);
  EXPECT_TRUE(SeenThere->IsDef());
  delete SeenThere;  // the thread has ended; its hub leaves the registry
  TSingleThreadHub* Again = DefHub(OtherId);
  EXPECT_NE(Again, nullptr);
  EXPECT_EQ(Again, DefHub(OtherId));
  delete Again;
}

TEST(HubCore, HubLocalStorageOwnsItsObjects) {
  int Freed = 0;
  TSingleThreadHub Hub;
  Hub.HLS("key", new test::TTracked(&Freed));
  EXPECT_NE(Hub.HLS("key"), nullptr);
  Hub.HLS("key", new test::TTracked(&Freed));
  EXPECT_EQ(Freed, 1) << "replacing frees the old object";
  Hub.HLS("key", nullptr);
  EXPECT_EQ(Freed, 2);
  EXPECT_EQ(Hub.HLS("key"), nullptr);
  Hub.HLS("other", new test::TTracked(&Freed));
  EXPECT_NE(TRawGreenletImpl::GetJoiner(&Hub), nullptr) << "every hub has a joiner";
}

TEST(HubCore, HubStorageReleasesCountedObjects) {
  bool Destroyed = false;
  int Runs = 0;
  {
    TSingleThreadHub Hub;
    Hub.HLS("counted", new TCountedTask(&Destroyed, &Runs));
    EXPECT_FALSE(Destroyed);
  }
  EXPECT_TRUE(Destroyed);
}

TEST(HubCore, GreenletMethodsAreRefusedOutsideTheProxy) {
  TSingleThreadHub Hub;
  auto G = test::Spawn([] {});
  try {
    Hub.EnqueueTask(BindMethod<&TRawGreenletImpl::Yield>(static_cast<TRawGreenletImpl*>(G.get())));
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& E) {
    EXPECT_STREQ(E.what(), "Enqueue Greenlet methods only by Proxy (Hub, line 644)");
  }
  EXPECT_FALSE(Hub.ServeTaskQueue()) << "nothing was queued";
}

TEST(HubCore, PulseFromAnotherThreadEndsAnInfiniteServe) {
  TSingleThreadHub Hub;
  Hub.SetupEnviron();
  std::thread Pulser([&] { Hub.Pulse(); });
  EXPECT_TRUE(Hub.Serve(INFINITE));
  Pulser.join();
}

TEST(HubCore, TasksFromManyThreadsAllRun) {
  TSingleThreadHub* Hub = DefHub(0);
  static std::atomic<int> runs;
  runs = 0;
  constexpr int kThreads = 3, kTasks = 500;
  std::vector<std::thread> Producers;
  for (int T = 0; T < kThreads; ++T)
    Producers.emplace_back([Hub] {
      for (int I = 0; I < kTasks; ++I) Hub->EnqueueTask([](void*) { ++runs; }, nullptr);
    });
  while (runs < kThreads * kTasks) Hub->Serve(INFINITE);
  for (auto& P : Producers) P.join();
  Hub->Serve(0);
  EXPECT_EQ(runs, kThreads * kTasks);
}

// gtest runs tests on the process's main thread.
TEST(HubCore, CallsPostedForTheMainThreadWakeItsHubAndRunInATaskPass) {
  ASSERT_TRUE(os::IsMainThread());
  TSingleThreadHub* Hub = DefHub(0);
  Hub->Serve(0);  // past the first serve: later ones take the short path
  for (int Round = 0; Round < 3; ++Round) {
    std::atomic<uint32_t> RanOn{0};
    std::thread Poster([&] { os::Synchronize([&] { RanOn = os::CurrentThreadId(); }); });
    const TDateTime Start = Now();
    while (RanOn == 0) Hub->Serve(20000);
    Poster.join();
    EXPECT_EQ(RanOn.load(), os::CurrentThreadId());
    EXPECT_LT(Time2TimeOut(Now() - Start), 10000u) << "the posted call woke the wait";
  }
  EXPECT_FALSE(os::GetMainThreadWakeHook()) << "the hook is put back after each serve";
}

TEST(Timeouts, ConversionsKeepEveryThirtyTwoBitTimeout) {
  EXPECT_EQ(Time2TimeOut(-1.0), 0u);
  EXPECT_EQ(Time2TimeOut(0), 0u);
  EXPECT_DOUBLE_EQ(TimeOut2Time(INFINITE), 100000.0);
  EXPECT_EQ(Time2TimeOut(TimeOut2Time(INFINITE)), INFINITE);
  for (uint32_t Ms : {1u, 999u, 60000u, 3599999u, 86399999u, 90000000u, 4294967294u})
    EXPECT_EQ(Time2TimeOut(TimeOut2Time(Ms)), Ms) << Ms;
  EXPECT_NO_THROW(TimeOut2Time(25u * 3600 * 1000)) << "25 hours is a valid timeout";
}

TEST(Timeouts, ADeadlineRoundsWhatRemainsUpAndNeverTurnsInfinite) {
  EXPECT_TRUE(TDeadline::After(0).Passed());
  EXPECT_EQ(TDeadline::After(0).RemainingTimeOut(), 0u);
  const TDeadline Never = TDeadline::After(INFINITE);
  EXPECT_TRUE(Never.IsNever());
  EXPECT_FALSE(Never.Passed());
  EXPECT_EQ(Never.RemainingTimeOut(), INFINITE);
  EXPECT_EQ(Never.Nanos(), 0);
  const TDeadline Soon = TDeadline::After(60000);
  EXPECT_FALSE(Soon.Passed());
  // Less than a minute remains, which rounds up to the whole minute until
  // a millisecond has gone by.
  EXPECT_LE(Soon.RemainingTimeOut(), 60000u);
  EXPECT_GE(Soon.RemainingTimeOut(), 59000u);
  EXPECT_GT(Soon.Nanos(), 0);
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
  TSingleThreadHub* Hub = DefHub(0);
  struct TCount {
    int Own = 0, Foreign = 0;
    bool OwnInOrder = true, ForeignInOrder = true;
  } Count;
  struct TPost {
    TCount* C;
    int N;
    bool Foreign;
  };
  std::vector<TPost> Own(kEach), Foreign(kEach);
  auto Run = [](void* Arg) {
    auto* P = static_cast<TPost*>(Arg);
    int& N = P->Foreign ? P->C->Foreign : P->C->Own;
    if (P->N != N) (P->Foreign ? P->C->ForeignInOrder : P->C->OwnInOrder) = false;
    ++N;
  };
  std::thread Other([&] {
    for (int I = 0; I < kEach; ++I) {
      Foreign[I] = {&Count, I, true};
      Hub->EnqueueTask(Run, &Foreign[I]);
    }
  });
  for (int I = 0; I < kEach; ++I) {
    Own[I] = {&Count, I, false};
    Hub->EnqueueTask(Run, &Own[I]);
    if (I % 64 == 0) Hub->Serve(0);
  }
  Other.join();
  while (Count.Own < kEach || Count.Foreign < kEach)
    if (!Hub->Serve(5000)) break;
  EXPECT_EQ(Count.Own, kEach);
  EXPECT_EQ(Count.Foreign, kEach);
  EXPECT_TRUE(Count.OwnInOrder);
  EXPECT_TRUE(Count.ForeignInOrder);
}

// A task the serving thread posts to its own hub needs no pulse: the next
// pass runs it.
TEST(ReadyList, OwnPostRunsOnTheNextPassWithoutWaiting) {
  TSingleThreadHub* Hub = DefHub(0);
  Hub->Serve(0);
  bool Ran = false;
  Hub->EnqueueTask([](void* P) { *static_cast<bool*>(P) = true; }, &Ran);
  EXPECT_TRUE(Hub->ServeTaskQueue());
  EXPECT_TRUE(Ran);
}

}  // namespace
}  // namespace green
