// Waitable timers: their routines run on the arming thread inside its
// alertable waits.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green::os {
namespace {

constexpr int64_t kMs = 10000;  // 100-ns units per millisecond

struct Fired {
  Handle Timer = kNoHandle;
  int Count = 0;
  int CancelAt = 0;  // cancels itself on this call when non-zero
  uint32_t Thread = 0;
  // The layer passes a time that never goes back from one firing to the
  // next (Wine's own values do: the win32 backend replaces them).
  uint64_t LastTime = 0;
  bool TimeWentBack = false;
};

void OnTimer(void* Arg, uint32_t Low, uint32_t High) {
  auto* F = static_cast<Fired*>(Arg);
  uint64_t Time = (uint64_t{High} << 32) | Low;
  if (F->Count > 0 && Time < F->LastTime) F->TimeWentBack = true;
  F->LastTime = Time;
  F->Thread = CurrentThreadId();
  if (++F->Count == F->CancelAt) CancelWaitableTimer(F->Timer);
}

// Alertable sleeps until F has fired Count times or TimeoutMs passed.
bool WaitFired(const Fired& F, int Count, int64_t TimeoutMs = 10000) {
  int64_t Deadline = MonotonicNanos() + TimeoutMs * 1'000'000;
  while (F.Count < Count) {
    int64_t Left = (Deadline - MonotonicNanos()) / 1'000'000;
    if (Left <= 0) return false;
    SleepEx(static_cast<uint32_t>(Left), true);
  }
  return true;
}

// Alertable sleeps for about Ms, running whatever comes due.
void SleepAlertable(int64_t Ms) {
  int64_t Deadline = MonotonicNanos() + Ms * 1'000'000;
  for (;;) {
    int64_t Left = (Deadline - MonotonicNanos()) / 1'000'000;
    if (Left <= 0) return;
    SleepEx(static_cast<uint32_t>(Left), true);
  }
}

struct TimerFixture : ::testing::Test {
  Fired F;
  void SetUp() override {
    F.Timer = CreateWaitableTimer(false);
    ASSERT_NE(F.Timer, kNoHandle);
  }
  void TearDown() override {
    if (F.Timer != kNoHandle) CloseHandle(F.Timer);
  }
};

using Timer = TimerFixture;

TEST_F(Timer, OneShotFiresOnceOnTheArmingThread) {
  int64_t Start = MonotonicNanos();
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -20 * kMs, 0, OnTimer, &F));
  EXPECT_EQ(SleepEx(0, false), 0u);  // not alertable: the routine must not run
  EXPECT_EQ(F.Count, 0);
  ASSERT_TRUE(WaitFired(F, 1));
  // Windows may fire up to a timer tick early.
  EXPECT_GE(MonotonicNanos() - Start, 10'000'000);
  EXPECT_EQ(F.Thread, CurrentThreadId());
  SleepAlertable(60);
  EXPECT_EQ(F.Count, 1);
}

TEST_F(Timer, PeriodicRepeatsUntilCancelledByItsRoutine) {
  F.CancelAt = 3;
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -10 * kMs, 10, OnTimer, &F));
  ASSERT_TRUE(WaitFired(F, 3));
  SleepAlertable(80);
  EXPECT_EQ(F.Count, 3);
  EXPECT_FALSE(F.TimeWentBack);
}

TEST_F(Timer, CancelledBeforeDueNeverFires) {
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -30 * kMs, 0, OnTimer, &F));
  ASSERT_TRUE(CancelWaitableTimer(F.Timer));
  SleepAlertable(100);
  EXPECT_EQ(F.Count, 0);
}

TEST_F(Timer, ClosingCancels) {
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -30 * kMs, 0, OnTimer, &F));
  ASSERT_TRUE(CloseHandle(F.Timer));
  F.Timer = kNoHandle;
  SleepAlertable(100);
  EXPECT_EQ(F.Count, 0);
}

TEST_F(Timer, RearmingReplacesTheDueTime) {
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -60000 * kMs, 0, OnTimer, &F));
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -10 * kMs, 0, OnTimer, &F));
  ASSERT_TRUE(WaitFired(F, 1));
  // And a short due time replaced by a long one does not fire.
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -10 * kMs, 0, OnTimer, &F));
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -60000 * kMs, 0, OnTimer, &F));
  SleepAlertable(80);
  EXPECT_EQ(F.Count, 1);
}

TEST_F(Timer, DueTimesBeyondSevenMinutesDoNotWrap) {
  // 8 minutes, and 2^32 + 1 ms worth of 100-ns units, whose low 32 bits
  // alone would be a 1 ms wait. Armed, checked not to fire soon, cancelled.
  ASSERT_TRUE(SetWaitableTimer(F.Timer, -(8 * 60 * 1000 * kMs), 0, OnTimer, &F));
  Fired G;
  G.Timer = CreateWaitableTimer(false);
  ASSERT_TRUE(SetWaitableTimer(G.Timer, -((int64_t{1} << 32) + kMs), 0, OnTimer, &G));
  SleepAlertable(100);
  EXPECT_EQ(F.Count, 0);
  EXPECT_EQ(G.Count, 0);
  EXPECT_TRUE(CancelWaitableTimer(F.Timer));
  CloseHandle(G.Timer);
}

TEST_F(Timer, ArmedOnAnotherThreadFiresThere) {
  std::promise<uint32_t> Id;
  Fired Other;
  std::thread T([&] {
    Id.set_value(CurrentThreadId());
    Other.Timer = CreateWaitableTimer(false);
    SetWaitableTimer(Other.Timer, -10 * kMs, 0, OnTimer, &Other);
    WaitFired(Other, 1);
    CloseHandle(Other.Timer);
  });
  uint32_t Target = Id.get_future().get();
  T.join();
  EXPECT_EQ(Other.Count, 1);
  EXPECT_EQ(Other.Thread, Target);
}

TEST(Timers, ManyTimersAllFire) {
  constexpr int kCount = 1000;
  std::vector<Fired> All(kCount);
  for (int I = 0; I < kCount; ++I) {
    All[I].Timer = CreateWaitableTimer(false);
    ASSERT_NE(All[I].Timer, kNoHandle);
    ASSERT_TRUE(SetWaitableTimer(All[I].Timer, -(1 + I % 50) * kMs, 0, OnTimer, &All[I]));
  }
  for (int I = 0; I < kCount; ++I) EXPECT_TRUE(WaitFired(All[I], 1)) << "timer " << I;
  SleepAlertable(20);
  for (int I = 0; I < kCount; ++I) {
    EXPECT_EQ(All[I].Count, 1) << "timer " << I;
    CloseHandle(All[I].Timer);
  }
}

}  // namespace
}  // namespace green::os
