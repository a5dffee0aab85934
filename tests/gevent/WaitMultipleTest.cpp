// Association of gevents and waiting for the first of several.
#include <gtest/gtest.h>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

TEST(WaitMultiple, EmptyArrayIsAnError) {
  int32_t index = 5;
  EXPECT_EQ(TGevent::WaitMultiple({}, index, 0), wrError);
  EXPECT_EQ(index, -1);
}

TEST(WaitMultiple, AlreadySignalledEntryAnswersAtOnce) {
  auto a = MakeRef<TGevent>(false, false), b = MakeRef<TGevent>(false, false);
  auto autoEv = MakeRef<TGevent>(false, true), manual = MakeRef<TGevent>(true, true);
  int32_t index = -1;
  EXPECT_EQ(TGevent::WaitMultiple({a.get(), b.get(), autoEv.get()}, index, INFINITE), wrSignaled);
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(autoEv->IsSignaled());
  EXPECT_EQ(TGevent::WaitMultiple({a.get(), b.get(), manual.get()}, index, INFINITE), wrSignaled);
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(manual->IsSignaled());
}

TEST(WaitMultiple, ReportsTheEmitterThatFired) {
  auto a = MakeRef<TGevent>(false, false), b = MakeRef<TGevent>(false, false);
  auto signaller = test::Spawn([&] { b->SetEvent(); });
  DefHub(0)->EnqueueTask([](void* g) { static_cast<TRawGreenletImpl*>(g)->Switch(); },
                         signaller.get());
  int32_t index = -1;
  EXPECT_EQ(TGevent::WaitMultiple({a.get(), b.get()}, index, 10000), wrSignaled);
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(b->IsSignaled()) << "the association consumed the auto-reset signal";
}

TEST(WaitMultiple, NilEntriesAreSkippedAndTimeoutGivesNoIndex) {
  int32_t index = 3;
  EXPECT_EQ(TGevent::WaitMultiple({nullptr, nullptr}, index, 10), wrTimeout);
  EXPECT_EQ(index, -1);
}

TEST(WaitMultiple, FirstOfTwoEmittersWins) {
  auto a = MakeRef<TGevent>(false, false), b = MakeRef<TGevent>(false, false);
  TWaitResult r = wrError;
  int32_t index = -1;
  auto waiter = test::Spawn([&] { r = TGevent::WaitMultiple({a.get(), b.get()}, index, 10000); });
  waiter->Switch();
  b->SetEvent();
  a->SetEvent();
  while (waiter->GetState() != gsTerminated) DefHub(0)->Serve(1000);
  EXPECT_EQ(r, wrSignaled);
  EXPECT_EQ(index, 1);
}

TEST(WaitMultiple, DestroyedEmitterAbandonsTheWait) {
  auto a = MakeRef<TGevent>(false, false);
  auto b = MakeRef<TGevent>(false, false);
  TWaitResult r = wrError;
  int32_t index = -1;
  auto waiter = test::Spawn([&] { r = TGevent::WaitMultiple({a.get(), b.get()}, index, 10000); });
  waiter->Switch();
  b.reset();
  while (waiter->GetState() != gsTerminated) DefHub(0)->Serve(1000);
  EXPECT_EQ(r, wrAbandoned);
  EXPECT_EQ(index, 1);
}

TEST(WaitMultiple, StaleAssociationsAreHarmlessAndDroppedLater) {
  auto a = MakeRef<TGevent>(false, false);
  int32_t index;
  EXPECT_EQ(TGevent::WaitMultiple({a.get()}, index, 5), wrTimeout);
  EXPECT_EQ(a->WaiterCount(), 1u) << "the entry stays until the next emission";
  a->SetEvent();
  EXPECT_EQ(a->WaiterCount(), 0u);
  EXPECT_TRUE(a->IsSignaled()) << "nobody consumed it on the gone owner's account";
  a->WaitFor(0);
  EXPECT_EQ(TGevent::WaitMultiple({a.get()}, index, 5), wrTimeout);
  auto owner = MakeRef<TGevent>(false, false);
  owner->Associate(a.get(), 0);
  EXPECT_EQ(a->WaiterCount(), 1u) << "Associate dropped the stale entry";
}

}  // namespace
}  // namespace green
