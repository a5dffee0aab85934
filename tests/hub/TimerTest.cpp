// Timeouts and periodic timers of the hub.
#include <gtest/gtest.h>

#include "hub/Hub.h"
#include "support/TestHub.h"

namespace green {
namespace {

struct TFired {
  int Calls = 0;
  TCustomHub* Hub = nullptr;
  THandle Id = os::kNoHandle;
};

void Count(THandle Id, void* Data) {
  auto* F = static_cast<TFired*>(Data);
  ++F->Calls;
  F->Hub = GetCurrentHub();
  F->Id = Id;
}

// Serves until Done() or the time runs out.
template <class F>
void ServeUntil(TSingleThreadHub& Hub, F Done, uint32_t TimeoutMs) {
  const TDateTime Deadline = Now() + TimeOut2Time(TimeoutMs);
  while (!Done() && Now() < Deadline) Hub.Serve(Time2TimeOut(Deadline - Now()));
}

TEST(HubTimers, ZeroTimeoutFiresOnceAtTheNextWait) {
  TSingleThreadHub Hub;
  TFired F;
  THandle Id = Hub.CreateTimeout(&Count, &F, 0);
  EXPECT_EQ(F.Calls, 0);
  ServeUntil(Hub, [&] { return F.Calls > 0; }, 5000);
  EXPECT_EQ(F.Calls, 1);
  EXPECT_EQ(F.Id, Id);
  EXPECT_EQ(F.Hub, &Hub);
  Hub.Serve(30);
  EXPECT_EQ(F.Calls, 1);
  Hub.DestroyTimeout(Id);
}

TEST(HubTimers, TimeoutFiresAfterItsInterval) {
  TSingleThreadHub Hub;
  TFired F;
  const TDateTime Start = Now();
  THandle Id = Hub.CreateTimeout(&Count, &F, 100);
  ServeUntil(Hub, [&] { return F.Calls > 0; }, 10000);
  const uint32_t Elapsed = Time2TimeOut(Now() - Start);
  EXPECT_EQ(F.Calls, 1);
  EXPECT_GE(Elapsed, 95u);
  EXPECT_LT(Elapsed, 5000u);
  Hub.DestroyTimeout(Id);
  Hub.DestroyTimeout(Id);  // destroying twice is silent
}

TEST(HubTimers, DestroyedTimeoutNeverFires) {
  TSingleThreadHub Hub;
  TFired F;
  Hub.DestroyTimeout(Hub.CreateTimeout(&Count, &F, 20));
  Hub.Serve(100);
  Hub.Serve(0);
  EXPECT_EQ(F.Calls, 0);
  Hub.DestroyTimeout(12345);  // unknown ids are ignored
}

struct TStopAfter {
  TSingleThreadHub* Hub;
  int Calls = 0;
  int Limit;
};

void StopAfter(THandle Id, void* Data) {
  auto* S = static_cast<TStopAfter*>(Data);
  if (++S->Calls == S->Limit) S->Hub->DestroyTimer(Id);
}

TEST(HubTimers, PeriodicTimerRepeatsUntilDestroyedInsideItsCallback) {
  TSingleThreadHub Hub;
  TStopAfter S{&Hub, 0, 5};
  Hub.CreateTimer(&StopAfter, &S, 10);
  ServeUntil(Hub, [&] { return S.Calls >= 5; }, 10000);
  EXPECT_EQ(S.Calls, 5);
  Hub.Serve(60);
  EXPECT_EQ(S.Calls, 5) << "destroyed inside its own callback";
}

void DestroySelf(THandle Id, void* Data) {
  auto* S = static_cast<TStopAfter*>(Data);
  ++S->Calls;
  S->Hub->DestroyTimeout(Id);
}

TEST(HubTimers, TimeoutMayBeDestroyedInsideItsCallback) {
  TSingleThreadHub Hub;
  TStopAfter S{&Hub, 0, 1};
  Hub.CreateTimeout(&DestroySelf, &S, 0);
  ServeUntil(Hub, [&] { return S.Calls > 0; }, 5000);
  EXPECT_EQ(S.Calls, 1);
}

// Intervals whose 100-ns count wraps a 32-bit number to well under a
// millisecond: with 32-bit arithmetic they would fire at once.
TEST(HubTimers, LongIntervalsKeepTheirLength) {
  TSingleThreadHub Hub;
  TFired SevenMinutes, DayAndMore;
  const uint32_t kPast7Minutes = 429497;   // 429497 * 10000 = 2^32 + 2704
  const uint32_t kPast24Hours = 86758340;  // 86758340 * 10000 = 202 * 2^32 + 6208
  static_assert(kPast24Hours > 24u * 3600 * 1000);
  THandle A = Hub.CreateTimeout(&Count, &SevenMinutes, kPast7Minutes);
  THandle B = Hub.CreateTimer(&Count, &DayAndMore, kPast24Hours);
  Hub.Serve(200);
  Hub.Serve(0);
  EXPECT_EQ(SevenMinutes.Calls, 0);
  EXPECT_EQ(DayAndMore.Calls, 0);
  Hub.DestroyTimeout(A);
  Hub.DestroyTimer(B);
}

void Raise(THandle, void*) { throw Exception("timer callback failed"); }

TEST(HubTimers, RaisingCallbackLeavesServeAndRestoresTheCurrentHub) {
  TSingleThreadHub Hub;
  THandle Id = Hub.CreateTimeout(&Raise, nullptr, 0);
  bool Raised = false;
  const TDateTime Deadline = Now() + TimeOut2Time(5000);
  while (!Raised && Now() < Deadline) {
    try {
      Hub.Serve(1000);
    } catch (const Exception& E) {
      Raised = E.Message() == "timer callback failed";
    }
  }
  EXPECT_TRUE(Raised);
  EXPECT_NE(GetCurrentHub(), &Hub);
  Hub.DestroyTimeout(Id);
}

TEST(HubTimers, HubDestructionCancelsPendingTimers) {
  TFired F;
  {
    TSingleThreadHub Hub;
    Hub.CreateTimeout(&Count, &F, 10);
    Hub.CreateTimer(&Count, &F, 10);
  }
  TSingleThreadHub Other;
  Other.Serve(60);
  Other.Serve(0);
  EXPECT_EQ(F.Calls, 0);
}

// A refused timer has no kernel timer behind it: its identifier is the one
// DestroyTimeout ignores, never a closed handle whose value a later timer
// may get back.
TEST(HubTimers, ATimerThatCannotBeArmedGetsTheIdentifierNothingElseUses) {
  test::TFailingArmHub Hub;
  TFired Refused, Later;
  Hub.FailArmings = 1;
  const THandle None = Hub.CreateTimeout(&Count, &Refused, 10);
  EXPECT_EQ(None, os::kNoHandle);
  const THandle Id = Hub.CreateTimeout(&Count, &Later, 10);
  Hub.DestroyTimeout(None);
  ServeUntil(Hub, [&] { return Later.Calls > 0; }, 5000);
  EXPECT_EQ(Later.Calls, 1) << "destroying the refused timer cancelled another one";
  EXPECT_EQ(Refused.Calls, 0);
  Hub.DestroyTimeout(Id);
}

}  // namespace
}  // namespace green
