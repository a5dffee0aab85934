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
  TGarbageCollector gc;
  EXPECT_EQ(gc.SetValue(nullptr), nullptr);
  auto* obj = new TTracked;
  auto a = gc.SetValue(obj);
  auto b = gc.SetValue(obj);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->GetRefCount(), 2);
  EXPECT_EQ(a->GetValue(), obj);
  EXPECT_TRUE(gc.IsExists(obj));
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(obj));
  a.reset();
  b.reset();
  EXPECT_FALSE(gc.IsExists(obj));
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
  EXPECT_EQ(gDestroyed.load(), 1);
}

TEST_F(GarbageCollectorTest, TwoCollectorsShareOneGlobalReference) {
  TGarbageCollector one, two;
  auto* obj = new TTracked;
  auto a = one.SetValue(obj);
  auto b = two.SetValue(obj);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->GetValue(), b->GetValue());
  RefPtr<IGCPointer<TObject>> global;
  ASSERT_TRUE(GarbageCollectorTable()->GetKeyValue(obj, global));
  EXPECT_EQ(global->GetRefCount(), 4);  // the table, two wrappers, this lookup
  global.reset();
  a.reset();
  EXPECT_FALSE(one.IsExists(obj));
  EXPECT_EQ(gDestroyed.load(), 0);
  // The next request in that context makes a new wrapper.
  auto again = one.SetValue(obj);
  EXPECT_EQ(again->GetRefCount(), 1);
  again.reset();
  b.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
}

TEST_F(GarbageCollectorTest, WrapperOutlivesClearedAndDestroyedCollector) {
  auto* obj = new TTracked;
  RefPtr<IGCPointer<TObject>> kept;
  {
    TGarbageCollector gc;
    kept = gc.SetValue(obj);
    gc.Clear();
    EXPECT_FALSE(gc.IsExists(obj));
    EXPECT_NE(gc.SetValue(obj), kept);  // a cleared collector hands out a new wrapper
  }
  EXPECT_EQ(gDestroyed.load(), 0);
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(obj));
  EXPECT_EQ(kept->GetValue(), obj);
  kept.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
}

TEST_F(GarbageCollectorTest, DirectGlobalReferenceRegistersAndFrees) {
  auto* obj = new TTracked;
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
  RefPtr<IGCPointer<TObject>> direct(new TGCPointerImpl<TObject>(obj));
  EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(obj));
  EXPECT_EQ(direct->GetRefCount(), 2);
  {
    TGarbageCollector gc;
    auto w = gc.SetValue(obj);
    EXPECT_EQ(direct->GetRefCount(), 3);  // the wrapper shares it
  }
  EXPECT_EQ(gDestroyed.load(), 0);
  direct.reset();
  EXPECT_EQ(gDestroyed.load(), 1);
  EXPECT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
}

TEST_F(GarbageCollectorTest, ManyObjectsSurviveTableGrowth) {
  TGarbageCollector gc;
  std::vector<RefPtr<IGCPointer<TObject>>> refs;
  for (int i = 0; i < 300; ++i) refs.push_back(gc.SetValue(new TTracked));
  for (auto& r : refs) EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(r->GetValue()));
  refs.clear();
  EXPECT_EQ(gDestroyed.load(), 300);
}

TEST_F(GarbageCollectorTest, TwoThreadsRegisteringOneObjectShareOneGlobalReference) {
  for (int round = 0; round < 100; ++round) {
    gDestroyed = 0;
    auto* obj = new TTracked;
    TGarbageCollector one, two;
    RefPtr<IGCPointer<TObject>> a, b;
    TStartLine start(2);
    std::atomic<int> failures{0};
    auto reg = [&](TGarbageCollector& gc, RefPtr<IGCPointer<TObject>>& out) {
      start.arrive_and_wait();
      try {
        out = gc.SetValue(obj);
      } catch (const EAssertionFailed&) {
        ++failures;
      }
    };
    std::thread t1(reg, std::ref(one), std::ref(a)), t2(reg, std::ref(two), std::ref(b));
    t1.join();
    t2.join();
    ASSERT_EQ(failures.load(), 0);
    RefPtr<IGCPointer<TObject>> global;
    ASSERT_TRUE(GarbageCollectorTable()->GetKeyValue(obj, global));
    ASSERT_EQ(global->GetRefCount(), 4);
    global.reset();
    // Released concurrently too: freed exactly once.
    TStartLine stop(2);
    std::thread r1([&] { stop.arrive_and_wait(); a.reset(); });
    std::thread r2([&] { stop.arrive_and_wait(); b.reset(); });
    r1.join();
    r2.join();
    ASSERT_EQ(gDestroyed.load(), 1);
    ASSERT_FALSE(TGarbageCollector::ExistsInGlobal(obj));
  }
}

TEST_F(GarbageCollectorTest, ThreadsRegisteringAndReleasingThroughGrowsFreeEverything) {
  constexpr int PerThread = 400;
  TStartLine start(2);
  auto work = [&] {
    TGarbageCollector gc;
    std::vector<RefPtr<IGCPointer<TObject>>> refs;
    start.arrive_and_wait();
    for (int i = 0; i < PerThread; ++i) {
      refs.push_back(gc.SetValue(new TTracked));
      if (i % 3 == 0) refs.erase(refs.begin() + i / 6);  // drop an older one
    }
    for (auto& r : refs) EXPECT_TRUE(TGarbageCollector::ExistsInGlobal(r->GetValue()));
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(gDestroyed.load(), 2 * PerThread);
}

// An allocation may fail at any point of SetValue, also while the
// collector's map is locked. Whatever it left behind, the collector keeps
// working afterwards; the object, held elsewhere, survives every attempt.
TEST_F(GarbageCollectorTest, AnAllocationFailureInSetValueLeavesNoLockHeld) {
  bool sawEveryPoint = false;
  EXPECT_TRUE(test::FinishesWithin(30000, [&] {
    TGarbageCollector gc, holder;
    auto* obj = new TTracked;
    auto held = holder.SetValue(obj);
    for (int successes = 0; successes < 16 && !sawEveryPoint; ++successes) {
      test::FailAllocationAfter(successes);
      try {
        auto ref = gc.SetValue(obj);
        sawEveryPoint = !test::StopFailingAllocations();
      } catch (const std::bad_alloc&) {
        test::StopFailingAllocations();
      }
      auto again = gc.SetValue(obj);
      EXPECT_EQ(again->GetValue(), obj);
      EXPECT_TRUE(gc.IsExists(obj));
      again.reset();
      EXPECT_FALSE(gc.IsExists(obj));
    }
    gc.Clear();
    held.reset();
  })) << "a lock was left held";
  EXPECT_TRUE(sawEveryPoint);
  EXPECT_EQ(gDestroyed.load(), 1);
}

}  // namespace
}  // namespace green
