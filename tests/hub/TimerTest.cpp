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
  auto* f = static_cast<TFired*>(Data);
  ++f->Calls;
  f->Hub = GetCurrentHub();
  f->Id = Id;
}

// Serves until Done() or the time runs out.
template <class F>
void ServeUntil(TSingleThreadHub& Hub, F Done, uint32_t TimeoutMs) {
  const TDateTime deadline = Now() + TimeOut2Time(TimeoutMs);
  while (!Done() && Now() < deadline) Hub.Serve(Time2TimeOut(deadline - Now()));
}

TEST(HubTimers, ZeroTimeoutFiresOnceAtTheNextWait) {
  TSingleThreadHub hub;
  TFired f;
  THandle id = hub.CreateTimeout(&Count, &f, 0);
  EXPECT_EQ(f.Calls, 0);
  ServeUntil(hub, [&] { return f.Calls > 0; }, 5000);
  EXPECT_EQ(f.Calls, 1);
  EXPECT_EQ(f.Id, id);
  EXPECT_EQ(f.Hub, &hub);
  hub.Serve(30);
  EXPECT_EQ(f.Calls, 1);
  hub.DestroyTimeout(id);
}

TEST(HubTimers, TimeoutFiresAfterItsInterval) {
  TSingleThreadHub hub;
  TFired f;
  const TDateTime start = Now();
  THandle id = hub.CreateTimeout(&Count, &f, 100);
  ServeUntil(hub, [&] { return f.Calls > 0; }, 10000);
  const uint32_t elapsed = Time2TimeOut(Now() - start);
  EXPECT_EQ(f.Calls, 1);
  EXPECT_GE(elapsed, 95u);
  EXPECT_LT(elapsed, 5000u);
  hub.DestroyTimeout(id);
  hub.DestroyTimeout(id);  // destroying twice is silent
}

TEST(HubTimers, DestroyedTimeoutNeverFires) {
  TSingleThreadHub hub;
  TFired f;
  hub.DestroyTimeout(hub.CreateTimeout(&Count, &f, 20));
  hub.Serve(100);
  hub.Serve(0);
  EXPECT_EQ(f.Calls, 0);
  hub.DestroyTimeout(12345);  // unknown ids are ignored
}

struct TStopAfter {
  TSingleThreadHub* Hub;
  int Calls = 0;
  int Limit;
};

void StopAfter(THandle Id, void* Data) {
  auto* s = static_cast<TStopAfter*>(Data);
  if (++s->Calls == s->Limit) s->Hub->DestroyTimer(Id);
}

TEST(HubTimers, PeriodicTimerRepeatsUntilDestroyedInsideItsCallback) {
  TSingleThreadHub hub;
  TStopAfter s{&hub, 0, 5};
  hub.CreateTimer(&StopAfter, &s, 10);
  ServeUntil(hub, [&] { return s.Calls >= 5; }, 10000);
  EXPECT_EQ(s.Calls, 5);
  hub.Serve(60);
  EXPECT_EQ(s.Calls, 5) << "destroyed inside its own callback";
}

void DestroySelf(THandle Id, void* Data) {
  auto* s = static_cast<TStopAfter*>(Data);
  ++s->Calls;
  s->Hub->DestroyTimeout(Id);
}

TEST(HubTimers, TimeoutMayBeDestroyedInsideItsCallback) {
  TSingleThreadHub hub;
  TStopAfter s{&hub, 0, 1};
  hub.CreateTimeout(&DestroySelf, &s, 0);
  ServeUntil(hub, [&] { return s.Calls > 0; }, 5000);
  EXPECT_EQ(s.Calls, 1);
}

// Intervals whose 100-ns count wraps a 32-bit number to well under a
// millisecond: with 32-bit arithmetic they would fire at once.
TEST(HubTimers, LongIntervalsKeepTheirLength) {
  TSingleThreadHub hub;
  TFired sevenMinutes, dayAndMore;
  const uint32_t kPast7Minutes = 429497;   // 429497 * 10000 = 2^32 + 2704
  const uint32_t kPast24Hours = 86758340;  // 86758340 * 10000 = 202 * 2^32 + 6208
  static_assert(kPast24Hours > 24u * 3600 * 1000);
  THandle a = hub.CreateTimeout(&Count, &sevenMinutes, kPast7Minutes);
  THandle b = hub.CreateTimer(&Count, &dayAndMore, kPast24Hours);
  hub.Serve(200);
  hub.Serve(0);
  EXPECT_EQ(sevenMinutes.Calls, 0);
  EXPECT_EQ(dayAndMore.Calls, 0);
  hub.DestroyTimeout(a);
  hub.DestroyTimer(b);
}

void Raise(THandle, void*) { throw Exception("timer callback failed"); }

TEST(HubTimers, RaisingCallbackLeavesServeAndRestoresTheCurrentHub) {
  TSingleThreadHub hub;
  THandle id = hub.CreateTimeout(&Raise, nullptr, 0);
  bool raised = false;
  const TDateTime deadline = Now() + TimeOut2Time(5000);
  while (!raised && Now() < deadline) {
    try {
      hub.Serve(1000);
    } catch (const Exception& e) {
      raised = e.Message() == "timer callback failed";
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_NE(GetCurrentHub(), &hub);
  hub.DestroyTimeout(id);
}

TEST(HubTimers, HubDestructionCancelsPendingTimers) {
  TFired f;
  {
    TSingleThreadHub hub;
    hub.CreateTimeout(&Count, &f, 10);
    hub.CreateTimer(&Count, &f, 10);
  }
  TSingleThreadHub other;
  other.Serve(60);
  other.Serve(0);
  EXPECT_EQ(f.Calls, 0);
}

// A refused timer has no kernel timer behind it: its identifier is the one
// DestroyTimeout ignores, never a closed handle whose value a later timer
// may get back.
TEST(HubTimers, ATimerThatCannotBeArmedGetsTheIdentifierNothingElseUses) {
  test::TFailingArmHub hub;
  TFired refused, later;
  hub.FailArmings = 1;
  const THandle none = hub.CreateTimeout(&Count, &refused, 10);
  EXPECT_EQ(none, os::kNoHandle);
  const THandle id = hub.CreateTimeout(&Count, &later, 10);
  hub.DestroyTimeout(none);
  ServeUntil(hub, [&] { return later.Calls > 0; }, 5000);
  EXPECT_EQ(later.Calls, 1) << "destroying the refused timer cancelled another one";
  EXPECT_EQ(refused.Calls, 0);
  hub.DestroyTimeout(id);
}

}  // namespace
}  // namespace green
