// Routines called back by the system never let an exception unwind into
// its frames: the wait that ran them raises it, after the system call.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Callback.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green::os {
namespace {

struct Boom : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Log {
  std::vector<std::string> Ran;
};

struct Step {
  Log* L;
  std::string Name;
  bool Throws = false;
};

void RunStep(void* Arg) {
  auto* S = static_cast<Step*>(Arg);
  S->L->Ran.push_back(S->Name);
  if (S->Throws) throw Boom("from " + S->Name);
}

TEST(Callback, FailedRoutineIsRaisedByItsWaitAndHoldsBackTheRest) {
  Log L;
  Step A{&L, "a", true}, B{&L, "b"}, C{&L, "c"};
  const uint32_t Me = CurrentThreadId();
  ASSERT_TRUE(QueueApc(Me, RunStep, &A));
  ASSERT_TRUE(QueueApc(Me, RunStep, &B));
  ASSERT_TRUE(QueueApc(Me, RunStep, &C));
  try {
    SleepEx(0, true);
    FAIL() << "the wait answered instead of raising";
  } catch (const Boom& E) {
    EXPECT_STREQ(E.what(), "from a");
  }
  EXPECT_EQ(L.Ran, std::vector<std::string>{"a"});
  EXPECT_FALSE(CallbackFailed());
  // A plain wait runs no routines; the next alertable one runs the rest, in order.
  Handle Ev = CreateEvent(true, true);
  EXPECT_EQ(WaitForSingleObject(Ev, 0, false), kWaitObject0);
  EXPECT_EQ(L.Ran.size(), 1u);
  EXPECT_EQ(WaitForMultipleObjects(1, &Ev, 0, true), kWaitIoCompletion);
  EXPECT_EQ(L.Ran, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(WaitForSingleObject(Ev, 0, true), kWaitObject0);
  CloseHandle(Ev);
}

TEST(Callback, HeldBackRoutineThatFailsIsRaisedByTheNextWait) {
  Log L;
  Step A{&L, "a", true}, B{&L, "b", true}, C{&L, "c"};
  const uint32_t Me = CurrentThreadId();
  for (Step* S : {&A, &B, &C}) ASSERT_TRUE(QueueApc(Me, RunStep, S));
  EXPECT_THROW(SleepEx(0, true), Boom);
  EXPECT_THROW(SleepEx(0, true), Boom);
  EXPECT_EQ(L.Ran, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SleepEx(0, true), kWaitIoCompletion);
  EXPECT_EQ(L.Ran.size(), 3u);
  EXPECT_EQ(SleepEx(0, true), 0u);
}

struct Ticks {
  Handle Timer = kNoHandle;
  int Count = 0;
};

void TickThenThrowOnce(void* Arg, uint32_t, uint32_t) {
  auto* T = static_cast<Ticks*>(Arg);
  if (++T->Count == 1) throw Boom("timer");
}

TEST(Callback, FailedTimerRoutineIsRaisedAndTheTimerKeepsRunning) {
  Ticks T;
  T.Timer = CreateWaitableTimer(false);
  ASSERT_NE(T.Timer, kNoHandle);
  ASSERT_TRUE(SetWaitableTimer(T.Timer, -10 * 10000, 10, TickThenThrowOnce, &T));
  bool Raised = false;
  for (int I = 0; I < 1000 && T.Count < 3; ++I) {
    try {
      SleepEx(1000, true);
    } catch (const Boom&) {
      Raised = true;
      EXPECT_EQ(T.Count, 1);
    }
  }
  EXPECT_TRUE(Raised);
  EXPECT_GE(T.Count, 3);
  CloseHandle(T.Timer);
}

TEST(Callback, RunSystemCallbackKeepsTheFirstFailureForTheThread) {
  int Ran = 0;
  RunSystemCallback([] { throw Boom("first"); });
  EXPECT_TRUE(CallbackFailed());
  RunSystemCallback([&] { ++Ran; });  // held back, not run
  EXPECT_EQ(Ran, 0);
  try {
    RaiseCallbackFailure();
    FAIL();
  } catch (const Boom& E) {
    EXPECT_STREQ(E.what(), "first");
  }
  RaiseCallbackFailure();  // once only
  EXPECT_TRUE(RunHeldBackCallbacks());
  EXPECT_EQ(Ran, 1);
  EXPECT_FALSE(RunHeldBackCallbacks());
}

}  // namespace
}  // namespace green::os
