// Association of gevents and waiting for the first of several.
#include <gtest/gtest.h>

#include <vector>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

TEST(WaitMultiple, EmptyArrayIsAnError) {
  int32_t Index = 5;
  EXPECT_EQ(TGevent::WaitMultiple({}, Index, 0), wrError);
  EXPECT_EQ(Index, -1);
}

TEST(WaitMultiple, AlreadySignalledEntryAnswersAtOnce) {
  auto A = MakeRef<TGevent>(false, false), B = MakeRef<TGevent>(false, false);
  auto AutoEv = MakeRef<TGevent>(false, true), Manual = MakeRef<TGevent>(true, true);
  int32_t Index = -1;
  EXPECT_EQ(TGevent::WaitMultiple({A.get(), B.get(), AutoEv.get()}, Index, INFINITE), wrSignaled);
  EXPECT_EQ(Index, 2);
  EXPECT_FALSE(AutoEv->IsSignaled());
  EXPECT_EQ(TGevent::WaitMultiple({A.get(), B.get(), Manual.get()}, Index, INFINITE), wrSignaled);
  EXPECT_EQ(Index, 2);
  EXPECT_TRUE(Manual->IsSignaled());
}

TEST(WaitMultiple, ReportsTheEmitterThatFired) {
  auto A = MakeRef<TGevent>(false, false), B = MakeRef<TGevent>(false, false);
  auto Signaller = test::Spawn([&] { B->SetEvent(); });
  DefHub(0)->EnqueueTask([](void* G) { static_cast<TRawGreenletImpl*>(G)->Switch(); },
                         Signaller.get());
  int32_t Index = -1;
  EXPECT_EQ(TGevent::WaitMultiple({A.get(), B.get()}, Index, 10000), wrSignaled);
  EXPECT_EQ(Index, 1);
  EXPECT_FALSE(B->IsSignaled()) << "the association consumed the auto-reset signal";
}

// Indexes are recorded once each, in order of first emission, whether they
// fall in the dense range or not.
TEST(Associate, RecordsEachIndexOnceInOrderOfFirstEmission) {
  auto Owner = MakeRef<TGevent>(true, false);
  auto* Ref = static_cast<TAssociateRef*>(Owner->AssociateRef());
  const std::vector<int32_t> Emitted = {0, 63, 64, 5, -1, 1 << 20, 0, 64, -1, 1 << 20, 200000};
  for (const int32_t Index : Emitted) ASSERT_TRUE(Ref->Emit(wrSignaled, false, Index));
  EXPECT_EQ(Ref->GetIndexes(), (std::vector<int32_t>{0, 63, 64, 5, -1, 1 << 20, 200000}));
  for (const int32_t Absent : {1, 62, 65, 4, -2, (1 << 20) - 1, (1 << 20) + 1, 199999})
    EXPECT_FALSE(Ref->FindIndex(Absent)) << Absent;
  Ref->ClearIndexes();
  EXPECT_FALSE(Ref->FindIndex(63));
  EXPECT_TRUE(Ref->Emit(wrSignaled, false, 63));
  EXPECT_EQ(Ref->GetIndexes(), std::vector<int32_t>{63});
}

TEST(WaitMultiple, NilEntriesAreSkippedAndTimeoutGivesNoIndex) {
  int32_t Index = 3;
  EXPECT_EQ(TGevent::WaitMultiple({nullptr, nullptr}, Index, 10), wrTimeout);
  EXPECT_EQ(Index, -1);
}

TEST(WaitMultiple, FirstOfTwoEmittersWins) {
  auto A = MakeRef<TGevent>(false, false), B = MakeRef<TGevent>(false, false);
  TWaitResult R = wrError;
  int32_t Index = -1;
  auto Waiter = test::Spawn([&] { R = TGevent::WaitMultiple({A.get(), B.get()}, Index, 10000); });
  Waiter->Switch();
  B->SetEvent();
  A->SetEvent();
  while (Waiter->GetState() != gsTerminated) DefHub(0)->Serve(1000);
  EXPECT_EQ(R, wrSignaled);
  EXPECT_EQ(Index, 1);
}

TEST(WaitMultiple, DestroyedEmitterAbandonsTheWait) {
  auto A = MakeRef<TGevent>(false, false);
  auto B = MakeRef<TGevent>(false, false);
  TWaitResult R = wrError;
  int32_t Index = -1;
  auto Waiter = test::Spawn([&] { R = TGevent::WaitMultiple({A.get(), B.get()}, Index, 10000); });
  Waiter->Switch();
  B.reset();
  while (Waiter->GetState() != gsTerminated) DefHub(0)->Serve(1000);
  EXPECT_EQ(R, wrAbandoned);
  EXPECT_EQ(Index, 1);
}

TEST(WaitMultiple, StaleAssociationsAreHarmlessAndDroppedLater) {
  auto A = MakeRef<TGevent>(false, false);
  int32_t Index;
  EXPECT_EQ(TGevent::WaitMultiple({A.get()}, Index, 5), wrTimeout);
  EXPECT_EQ(A->WaiterCount(), 1u) << "the entry stays until the next emission";
  A->SetEvent();
  EXPECT_EQ(A->WaiterCount(), 0u);
  EXPECT_TRUE(A->IsSignaled()) << "nobody consumed it on the gone owner's account";
  A->WaitFor(0);
  EXPECT_EQ(TGevent::WaitMultiple({A.get()}, Index, 5), wrTimeout);
  auto Owner = MakeRef<TGevent>(false, false);
  Owner->Associate(A.get(), 0);
  EXPECT_EQ(A->WaiterCount(), 1u) << "Associate dropped the stale entry";
}

}  // namespace
}  // namespace green
