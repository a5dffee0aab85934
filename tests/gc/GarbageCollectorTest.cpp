#include "gc/GarbageCollector.h"

#include <gtest/gtest.h>

#include <atomic>
#include "tests/gc/StartLine.h"
#include <thread>

#include "support/Finishes.h"
#include "tests/gc/FailingAllocation.h"

namespace green {
namespace {

std::atomic<int> gDestroyed{0};

// A managed object that counts its destructions.
class TTracked : public TObject {
 public:
  ~TTracked() override { gDestroyed.fetch_add(1); }
};

class GarbageCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GarbageCollectorUnit();
    gDestroyed = 0;
  }
};

TEST_F(GarbageCollectorTest, NilGivesNilAndSameObjectGivesSameWrapper) {
  TGarbageCollector Gc;
  EXPECT_EQ(Gc.SetValue(nullptr), nullptr);
  auto* Obj = new TTracked;
  auto A = Gc.SetValue(Obj);
  auto B = Gc.SetValue(Obj);
  EXPECT_EQ(A, B);
  EXPECT_EQ(A->GetRefCount(), 2);
  EXPECT_EQ(A->GetValue(), Obj);
  EXPECT_TRUE(Gc.IsExists(Obj));
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(Obj));
  A.reset();
  B.reset();
  EXPECT_FALSE(Gc.IsExists(Obj));
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
  EXPECT_EQ(gDestroyed.load(), 1);
}

TEST_F(GarbageCollectorTest, TwoCollectorsShareOneGlobalReference) {
  TGarbageCollector One, Two;
  auto* Obj = new TTracked;
  auto A = One.SetValue(Obj);
  auto B = Two.SetValue(Obj);
  EXPECT_NE(A, B);
  EXPECT_EQ(A->GetValue(), B->GetValue());
  RefPtr<IGCPointer<TObject>> Global;
  ASSERT_TRUE(GarbageCollectorTable()->GetKeyValue(Obj, Global));
  EXPECT_EQ(Global->GetRefCount(), 4);  // the table, two wrappers, this lookup
  Global.reset();
  A.reset();
  EXPECT_FALSE(One.IsExists(Obj));
  EXPECT_EQ(gDestroyed.load(), 0);
  // The next request in that context makes a new wrapper.
  auto Again = One.SetValue(Obj);
  EXPECT_EQ(Again->GetRefCount(), 1);
  Again.reset();
  B.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
}

TEST_F(GarbageCollectorTest, WrapperOutlivesClearedAndDestroyedCollector) {
  auto* Obj = new TTracked;
  RefPtr<IGCPointer<TObject>> Kept;
  {
    TGarbageCollector Gc;
    Kept = Gc.SetValue(Obj);
    Gc.Clear();
    EXPECT_FALSE(Gc.IsExists(Obj));
    EXPECT_NE(Gc.SetValue(Obj), Kept);  // a cleared collector hands out a new wrapper
  }
  EXPECT_EQ(gDestroyed.load(), 0);
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(Obj));
  EXPECT_EQ(Kept->GetValue(), Obj);
  Kept.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
}

TEST_F(GarbageCollectorTest, DirectGlobalReferenceRegistersAndFrees) {
  auto* Obj = new TTracked;
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
  RefPtr<IGCPointer<TObject>> Direct(new TGCPointerImpl<TObject>(Obj));
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(Obj));
  EXPECT_EQ(Direct->GetRefCount(), 2);
  {
    TGarbageCollector Gc;
    auto W = Gc.SetValue(Obj);
    EXPECT_EQ(Direct->GetRefCount(), 3);  // the wrapper shares it
  }
  EXPECT_EQ(gDestroyed.load(), 0);
  Direct.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
}

TEST_F(GarbageCollectorTest, ManyObjectsSurviveTableGrowth) {
  TGarbageCollector Gc;
  std::vector<RefPtr<IGCPointer<TObject>>> Refs;
  for (int I = 0; I < 300; ++I) Refs.push_back(Gc.SetValue(new TTracked));
  for (auto& R : Refs) EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(R->GetValue()));
  Refs.clear();
  EXPECT_EQ(gDestroyed.load(), 300);
}

TEST_F(GarbageCollectorTest, TwoThreadsRegisteringOneObjectShareOneGlobalReference) {
  for (int Round = 0; Round < 100; ++Round) {
    gDestroyed = 0;
    auto* Obj = new TTracked;
    TGarbageCollector One, Two;
    RefPtr<IGCPointer<TObject>> A, B;
    TStartLine Start(2);
    std::atomic<int> Failures{0};
    auto Reg = [&](TGarbageCollector& Gc, RefPtr<IGCPointer<TObject>>& Out) {
      Start.arrive_and_wait();
      try {
        Out = Gc.SetValue(Obj);
      } catch (const EAssertionFailed&) {
        ++Failures;
      }
    };
    std::thread T1(Reg, std::ref(One), std::ref(A)), T2(Reg, std::ref(Two), std::ref(B));
    T1.join();
    T2.join();
    ASSERT_EQ(Failures.load(), 0);
    RefPtr<IGCPointer<TObject>> Global;
    ASSERT_TRUE(GarbageCollectorTable()->GetKeyValue(Obj, Global));
    ASSERT_EQ(Global->GetRefCount(), 4);
    Global.reset();
    // Released concurrently too: freed exactly once.
    TStartLine Stop(2);
    std::thread R1([&] { Stop.arrive_and_wait(); A.reset(); });
    std::thread R2([&] { Stop.arrive_and_wait(); B.reset(); });
    R1.join();
    R2.join();
    ASSERT_EQ(gDestroyed.load(), 1);
    ASSERT_FALSE(TGarbageCollector::ExistsInGlobal(Obj));
  }
}

TEST_F(GarbageCollectorTest, ThreadsRegisteringAndReleasingThroughGrowsFreeEverything) {
  constexpr int PerThread = 400;
  TStartLine Start(2);
  auto Work = [&] {
    TGarbageCollector Gc;
    std::vector<RefPtr<IGCPointer<TObject>>> Refs;
    Start.arrive_and_wait();
    for (int I = 0; I < PerThread; ++I) {
      Refs.push_back(Gc.SetValue(new TTracked));
      if (I % 3 == 0) Refs.erase(Refs.begin() + I / 6);  // drop an older one
    }
    for (auto& R : Refs) EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(R->GetValue()));
  };
  std::thread A(Work), B(Work);
  A.join();
  B.join();
  EXPECT_EQ(gDestroyed.load(), 2 * PerThread);
}

// An allocation may fail at any point of SetValue, also while the
// collector's map is locked. Whatever it left behind, the collector keeps
// working afterwards; the object, held elsewhere, survives every attempt.
TEST_F(GarbageCollectorTest, AnAllocationFailureInSetValueLeavesNoLockHeld) {
  bool SawEveryPoint = false;
  EXPECT_TRUE(test::FinishesWithin(30000, [&] {
    TGarbageCollector Gc, Holder;
    auto* Obj = new TTracked;
    auto Held = Holder.SetValue(Obj);
    for (int Successes = 0; Successes < 16 && !SawEveryPoint; ++Successes) {
      test::FailAllocationAfter(Successes);
      try {
        auto Ref = Gc.SetValue(Obj);
        SawEveryPoint = !test::StopFailingAllocations();
      } catch (const std::bad_alloc&) {
        test::StopFailingAllocations();
      }
      auto Again = Gc.SetValue(Obj);
      EXPECT_EQ(Again->GetValue(), Obj);
      EXPECT_TRUE(Gc.IsExists(Obj));
      Again.reset();
      EXPECT_FALSE(Gc.IsExists(Obj));
    }
    Gc.Clear();
    Held.reset();
  })) << "a lock was left held";
  EXPECT_TRUE(SawEveryPoint);
  EXPECT_EQ(gDestroyed.load(), 1);
}

}  // namespace
}  // namespace green
