// Events, waits and completion routines (APCs).
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green::os {
namespace {

// Closes its events at the end of a test.
struct Events {
  std::vector<Handle> H;
  Events(int Count, bool Manual, bool Initial = false) {
    for (int I = 0; I < Count; ++I) H.push_back(CreateEvent(Manual, Initial));
  }
  ~Events() {
    for (Handle E : H) CloseHandle(E);
  }
  Handle operator[](size_t I) const { return H[I]; }
};

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Events E(1, true);
  ASSERT_NE(E[0], kNoHandle);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitTimeout);
  ASSERT_TRUE(SetEvent(E[0]));
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitObject0);
  ASSERT_TRUE(ResetEvent(E[0]));
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitTimeout);
}

TEST(Event, AutoResetIsConsumedByOneWait) {
  Events E(1, false, true);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitTimeout);
  // Setting twice signals once.
  SetEvent(E[0]);
  SetEvent(E[0]);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitTimeout);
  SetEvent(E[0]);
  ResetEvent(E[0]);
  EXPECT_EQ(WaitForSingleObject(E[0], 0), kWaitTimeout);
}

TEST(Wait, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  Events E(4, false);
  SetEvent(E[3]);
  SetEvent(E[1]);
  EXPECT_EQ(WaitForMultipleObjects(4, E.H.data(), 0, false), kWaitObject0 + 1);
  // The wait reported index 1 only; index 3 is still signalled.
  EXPECT_EQ(WaitForMultipleObjects(4, E.H.data(), 0, false), kWaitObject0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, E.H.data(), 0, false), kWaitTimeout);
}

TEST(Wait, ReportingAManualEventLeavesAnAutoEventSignalled) {
  Handle Manual = CreateEvent(true, true);
  Handle Auto = CreateEvent(false, true);
  Handle Both[] = {Manual, Auto};
  EXPECT_EQ(WaitForMultipleObjects(2, Both, 0, false), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(Auto, 0), kWaitObject0);
  CloseHandle(Manual);
  CloseHandle(Auto);
}

TEST(Wait, TimeoutAnswersTimeout) {
  Events E(1, true);
  int64_t Start = MonotonicNanos();
  EXPECT_EQ(WaitForSingleObject(E[0], 30), kWaitTimeout);
  int64_t Elapsed = MonotonicNanos() - Start;
  // Windows may wake up to a timer tick early.
  EXPECT_GE(Elapsed, 15'000'000);
  EXPECT_LT(Elapsed, 10'000'000'000);
  EXPECT_EQ(WaitForMultipleObjects(0, nullptr, 0, false), kWaitTimeout);
  EXPECT_EQ(SleepEx(0, false), 0u);
}

TEST(Wait, SixtyFourObjectsAtMost) {
  Events E(65, false);
  SetEvent(E[63]);
  EXPECT_EQ(WaitForMultipleObjects(kMaxWaitObjects, E.H.data(), 0, false), kWaitObject0 + 63);
  SetLastError(kErrorSuccess);
  EXPECT_EQ(WaitForMultipleObjects(65, E.H.data(), 0, false), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(Wait, BadHandleFails) {
  SetLastError(kErrorSuccess);
  EXPECT_EQ(WaitForSingleObject(kNoHandle, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(CloseHandle(kNoHandle));
  EXPECT_FALSE(SetEvent(kNoHandle));
}

TEST(Wait, SetFromAnotherThreadWakesAnInfiniteWait) {
  Events E(2, false);
  std::thread T([&] { SetEvent(E[1]); });
  EXPECT_EQ(WaitForMultipleObjects(2, E.H.data(), kInfinite, false), kWaitObject0 + 1);
  T.join();
}

TEST(Wait, OneSetOfAnAutoEventWakesExactlyOneOfTwoWaiters) {
  for (int Round = 0; Round < 50; ++Round) {
    Handle Auto = CreateEvent(false, false);
    Handle Stop = CreateEvent(true, false);
    Handle Woke = CreateEvent(false, false);
    std::atomic<int> Got{0};
    auto Waiter = [&] {
      Handle Both[] = {Auto, Stop};
      uint32_t R = WaitForMultipleObjects(2, Both, kInfinite, false);
      if (R == kWaitObject0) {
        ++Got;
        SetEvent(Woke);
      }
    };
    std::thread A(Waiter), B(Waiter);
    SetEvent(Auto);
    ASSERT_EQ(WaitForSingleObject(Woke, 10000), kWaitObject0);
    // Had the set not been consumed, the lower index would win over Stop.
    SetEvent(Stop);
    A.join();
    B.join();
    EXPECT_EQ(Got.load(), 1) << "round " << Round;
    CloseHandle(Auto);
    CloseHandle(Stop);
    CloseHandle(Woke);
  }
}

struct ApcLog {
  std::atomic<int> Runs{0};
  std::atomic<uint32_t> Thread{0};
};

void CountApc(void* Arg) {
  auto* L = static_cast<ApcLog*>(Arg);
  L->Thread = CurrentThreadId();
  ++L->Runs;
}

TEST(Apc, RunsOnlyInAlertableWaits) {
  ApcLog L;
  Events E(1, true);
  ASSERT_TRUE(QueueApc(CurrentThreadId(), CountApc, &L));
  EXPECT_EQ(SleepEx(0, false), 0u);
  EXPECT_EQ(WaitForSingleObject(E[0], 10, false), kWaitTimeout);
  EXPECT_EQ(L.Runs.load(), 0);
  EXPECT_EQ(WaitForSingleObject(E[0], kInfinite, true), kWaitIoCompletion);
  EXPECT_EQ(L.Runs.load(), 1);
  EXPECT_EQ(L.Thread.load(), CurrentThreadId());
  // Ran once: the next alertable wait times out.
  EXPECT_EQ(SleepEx(0, true), 0u);
  EXPECT_EQ(L.Runs.load(), 1);
}

TEST(Apc, AllQueuedRoutinesRunInOneWait) {
  ApcLog L;
  for (int I = 0; I < 3; ++I) ASSERT_TRUE(QueueApc(CurrentThreadId(), CountApc, &L));
  EXPECT_EQ(SleepEx(kInfinite, true), kWaitIoCompletion);
  EXPECT_EQ(L.Runs.load(), 3);
}

TEST(Apc, QueuedFromAnotherThreadWakesAnAlertableWait) {
  ApcLog L;
  std::promise<uint32_t> Id;
  std::thread T([&] {
    Id.set_value(CurrentThreadId());
    // Only the routine can end this wait.
    EXPECT_EQ(SleepEx(kInfinite, true), kWaitIoCompletion);
  });
  uint32_t Target = Id.get_future().get();
  ASSERT_TRUE(QueueApc(Target, CountApc, &L));
  T.join();
  EXPECT_EQ(L.Runs.load(), 1);
  EXPECT_EQ(L.Thread.load(), Target);
}

TEST(Apc, QueuedToAThreadThatNeverWaitedRunsAtItsFirstAlertableWait) {
  ApcLog L;
  std::promise<uint32_t> Id;
  std::promise<void> Queued;
  uint32_t Answer = 0;
  std::thread T([&] {
    Id.set_value(CurrentThreadId());
    Queued.get_future().wait();
    Answer = SleepEx(0, true);
  });
  uint32_t Target = Id.get_future().get();
  EXPECT_TRUE(QueueApc(Target, CountApc, &L));
  Queued.set_value();
  T.join();
  EXPECT_EQ(Answer, kWaitIoCompletion);
  EXPECT_EQ(L.Runs.load(), 1);
  EXPECT_EQ(L.Thread.load(), Target);
}

TEST(Apc, QueueToAnExitedThreadFails) {
  uint32_t Gone = 0;
  std::thread T([&] {
    Gone = CurrentThreadId();
    SleepEx(0, true);  // gives the thread its wait state, which must go with it
  });
  T.join();
  ApcLog L;
  EXPECT_FALSE(QueueApc(Gone, CountApc, &L));
  EXPECT_EQ(L.Runs.load(), 0);
}

TEST(MsgWait, ReportsObjectsAndRunsRoutines) {
  Events E(2, true);
  SetEvent(E[1]);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, E.H.data(), 0), kWaitObject0 + 1);
  ResetEvent(E[1]);
  ApcLog L;
  ASSERT_TRUE(QueueApc(CurrentThreadId(), CountApc, &L));
  EXPECT_EQ(MsgWaitForMultipleObjects(2, E.H.data(), kInfinite), kWaitIoCompletion);
  EXPECT_EQ(L.Runs.load(), 1);
  PumpMessages();  // nothing queued; must simply return
}

}  // namespace
}  // namespace green::os
