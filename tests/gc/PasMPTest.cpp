#include "gc/PasMP.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include "tests/gc/StartLine.h"
#include <thread>
#include <vector>

#include "gc/GarbageCollector.h"
#include "support/Finishes.h"
#include "tests/gc/FailingAllocation.h"

namespace green {
namespace {

// A counted value that reports its destruction and may run a hook then.
class TProbeValue : public TInterfacedObject {
 public:
  explicit TProbeValue(std::atomic<int>* Destroyed, std::function<void()> OnDestroy = {})
      : FDestroyed(Destroyed), FOnDestroy(std::move(OnDestroy)) {}
  ~TProbeValue() override {
    if (FOnDestroy) FOnDestroy();
    if (FDestroyed) FDestroyed->fetch_add(1);
  }

 private:
  std::atomic<int>* FDestroyed;
  std::function<void()> FOnDestroy;
};

using TTable = TPasMPHashTable<uintptr_t, RefPtr<TProbeValue>>;
using TIntTable = TPasMPHashTable<uintptr_t, uintptr_t>;

TEST(PasMPLocks, SpinLockAndReaderWriterLockExcludeWriters) {
  TPasMPSpinLock Spin;
  TPasMPMultipleReaderSingleWriterSpinLock Rw;
  int SpinCounter = 0, RwCounter = 0;
  auto Work = [&] {
    for (int I = 0; I < 20000; ++I) {
      Spin.Acquire();
      ++SpinCounter;
      Spin.Release();
      Rw.AcquireRead();
      Rw.ReadToWrite();
      ++RwCounter;
      Rw.WriteToRead();
      Rw.ReleaseRead();
    }
  };
  std::thread A(Work), B(Work);
  A.join();
  B.join();
  EXPECT_EQ(SpinCounter, 40000);
  EXPECT_EQ(RwCounter, 40000);
  static_assert(sizeof(TPasMPSpinLock) == 64 && alignof(TPasMPSpinLock) == 64);
}

TEST(PasMPHashTable, GarbageCollectorTableGrowsAtItsLimit) {
  TGCTable Table;
  EXPECT_EQ(Table.Size(), 64u);
  std::vector<std::unique_ptr<TObject>> Keys;
  for (int I = 0; I < 49; ++I) Keys.push_back(std::make_unique<TObject>());
  for (int I = 0; I < 48; ++I) EXPECT_TRUE(Table.SetKeyValue(Keys[I].get(), nullptr));
  EXPECT_EQ(Table.Size(), 64u);
  EXPECT_EQ(Table.Count(), 48u);
  EXPECT_TRUE(Table.SetKeyValue(Keys[48].get(), nullptr));
  EXPECT_EQ(Table.Size(), 128u);
  EXPECT_EQ(Table.Count(), 49u);
  for (auto& K : Keys) EXPECT_TRUE(Table.ContainsKey(K.get()));
  EXPECT_FALSE(Table.ContainsKey(reinterpret_cast<TObject*>(uintptr_t{64})));
}

TEST(PasMPHashTable, ReplaceKeepsCountAndReleasesOldValue) {
  std::atomic<int> Destroyed{0};
  TTable Table;
  EXPECT_TRUE(Table.SetKeyValue(7, MakeRef<TProbeValue>(&Destroyed)));
  auto Second = MakeRef<TProbeValue>(&Destroyed);
  EXPECT_TRUE(Table.SetKeyValue(7, Second));
  EXPECT_EQ(Destroyed.load(), 1);
  EXPECT_EQ(Table.Count(), 1u);
  RefPtr<TProbeValue> Got;
  EXPECT_TRUE(Table.GetKeyValue(7, Got));
  EXPECT_EQ(Got, Second);
  EXPECT_EQ(Second->GetRefCount(), 3);  // second, got, the table
  EXPECT_FALSE(Table.GetKeyValue(8, Got));
  EXPECT_EQ(Got, nullptr);
}

TEST(PasMPHashTable, DeleteOnceThenAbsentAndKeysBeyondDeletedSlotsFound) {
  std::atomic<int> Destroyed{0};
  TTable Table;
  for (uintptr_t K = 1; K <= 40; ++K) Table.SetKeyValue(K, MakeRef<TProbeValue>(&Destroyed));
  for (uintptr_t K = 1; K <= 40; K += 2) EXPECT_TRUE(Table.DeleteKey(K));
  EXPECT_EQ(Destroyed.load(), 20);
  EXPECT_FALSE(Table.DeleteKey(1));
  EXPECT_FALSE(Table.ContainsKey(1));
  EXPECT_EQ(Table.Count(), 20u);
  for (uintptr_t K = 2; K <= 40; K += 2) EXPECT_TRUE(Table.ContainsKey(K)) << K;
  // Deleted slots count against the limit; the table stays consistent
  // across the rebuilds they cause.
  for (int Round = 0; Round < 20; ++Round) {
    for (uintptr_t K = 1; K <= 40; K += 2) EXPECT_TRUE(Table.SetKeyValue(K, MakeRef<TProbeValue>(nullptr)));
    for (uintptr_t K = 1; K <= 40; K += 2) EXPECT_TRUE(Table.DeleteKey(K));
  }
  EXPECT_EQ(Table.Count(), 20u);
  for (uintptr_t K = 2; K <= 40; K += 2) EXPECT_TRUE(Table.ContainsKey(K)) << K;
}

TEST(PasMPHashTable, PresentKeysStayVisibleWhileOtherThreadsGrowIt) {
  for (int Round = 0; Round < 8; ++Round) {
    TIntTable Table;
    constexpr uintptr_t Present = 40;
    for (uintptr_t K = 1; K <= Present; ++K) Table.SetKeyValue(K, K * 10);
    TStartLine Start(3);
    std::atomic<bool> Growing{true};
    std::atomic<int> Missing{0};
    std::thread Grower([&] {
      Start.arrive_and_wait();
      for (uintptr_t K = 1000; K < 3000; ++K) Table.SetKeyValue(K, K);
      Growing = false;
    });
    std::thread Churn([&] {
      Start.arrive_and_wait();
      for (uintptr_t K = 5000; Growing; K = K < 5200 ? K + 1 : 5000) {
        Table.SetKeyValue(K, K);
        Table.DeleteKey(K);
      }
    });
    Start.arrive_and_wait();
    while (Growing) {
      for (uintptr_t K = 1; K <= Present; ++K) {
        uintptr_t V = 0;
        if (!Table.GetKeyValue(K, V) || V != K * 10) ++Missing;
      }
    }
    Grower.join();
    Churn.join();
    EXPECT_EQ(Missing.load(), 0);
    EXPECT_EQ(Table.Count(), Present + 2000);
    for (uintptr_t K = 1000; K < 3000; ++K) ASSERT_TRUE(Table.ContainsKey(K)) << K;
  }
}

// Lookups read slots without locking them while writers replace values and
// hand deleted slots to other keys: a found value is always the key's own.
TEST(PasMPHashTable, LookupsNeverPairAKeyWithAnotherKeysValue) {
  TIntTable Table;
  constexpr uintptr_t Keys = 24;
  constexpr uintptr_t Stride = 1 << 20;  // value = key * Stride + generation
  TStartLine Start(3);
  std::atomic<bool> Writing{true};
  std::atomic<int> Wrong{0};
  std::atomic<long> Found{0};
  std::thread Writer([&] {
    Start.arrive_and_wait();
    // Until the readers have seen values too: on a busy machine the writer
    // could otherwise finish before they look once.
    for (uintptr_t Gen = 1; Gen < 20000 || Found.load(std::memory_order_relaxed) < 100; ++Gen) {
      const uintptr_t K = Gen % Keys + 1;
      if (Gen % 3 == 0) Table.DeleteKey(K);
      else Table.SetKeyValue(K, K * Stride + Gen % Stride);
    }
    Writing = false;
  });
  auto Read = [&] {
    Start.arrive_and_wait();
    while (Writing) {
      for (uintptr_t K = 1; K <= Keys; ++K) {
        uintptr_t V = 0;
        if (!Table.GetKeyValue(K, V)) continue;
        Found.fetch_add(1, std::memory_order_relaxed);
        if (V / Stride != K) Wrong.fetch_add(1);
      }
    }
  };
  std::thread Reader(Read);
  Read();
  Writer.join();
  Reader.join();
  EXPECT_EQ(Wrong.load(), 0);
  EXPECT_GT(Found.load(), 0);
  EXPECT_LE(Table.Count(), Keys);
}

TEST(PasMPHashTable, SameKeyFromTwoThreadsLeavesOneEntry) {
  for (int Round = 0; Round < 100; ++Round) {
    TIntTable Table;
    TStartLine Start(2);
    auto Insert = [&](uintptr_t V) {
      Start.arrive_and_wait();
      Table.SetKeyValue(42, V);
    };
    std::thread A(Insert, 1), B(Insert, 2);
    A.join();
    B.join();
    ASSERT_EQ(Table.Count(), 1u);
    ASSERT_TRUE(Table.DeleteKey(42));
    ASSERT_FALSE(Table.ContainsKey(42));
  }
}

TEST(PasMPHashTable, FinalizeMayDeleteAnotherKeyOfTheSameTable) {
  std::atomic<int> Destroyed{0};
  TTable Table;
  // Each value deletes the next key when it goes: a chain of nested deletes.
  for (uintptr_t K = 1; K <= 10; ++K) {
    Table.SetKeyValue(K, MakeRef<TProbeValue>(&Destroyed, [&Table, K] { Table.DeleteKey(K + 1); }));
  }
  EXPECT_TRUE(Table.DeleteKey(1));
  EXPECT_EQ(Destroyed.load(), 10);
  EXPECT_EQ(Table.Count(), 0u);

  // Replacing a value, and retiring a state after a grow, release values too.
  Table.SetKeyValue(100, MakeRef<TProbeValue>(&Destroyed, [&Table] { Table.DeleteKey(101); }));
  Table.SetKeyValue(101, MakeRef<TProbeValue>(&Destroyed));
  Table.SetKeyValue(100, MakeRef<TProbeValue>(&Destroyed));
  EXPECT_EQ(Destroyed.load(), 12);
  EXPECT_FALSE(Table.ContainsKey(101));
  for (uintptr_t K = 200; K < 400; ++K) {
    Table.SetKeyValue(K, MakeRef<TProbeValue>(&Destroyed, [&Table, K] { Table.DeleteKey(K + 1000); }));
  }
  EXPECT_EQ(Table.Count(), 201u);
}

// A grow that cannot allocate its new state fails that insert and leaves
// the table as it was: the next inserts grow it and every key is there.
TEST(PasMPHashTable, AGrowThatCannotAllocateLeavesTheTableUsable) {
  bool Grew = false;
  EXPECT_TRUE(test::FinishesWithin(30000, [&] {
    TIntTable Table;
    for (uintptr_t K = 1; K <= 48; ++K) ASSERT_TRUE(Table.SetKeyValue(K, K));
    ASSERT_EQ(Table.Size(), 64u);
    for (int Successes = 0; Successes < 16 && !Grew; ++Successes) {
      test::FailAllocationAfter(Successes);
      try {
        Table.SetKeyValue(49, 49);
        Grew = !test::StopFailingAllocations();
      } catch (const std::bad_alloc&) {
        test::StopFailingAllocations();
      }
    }
    EXPECT_TRUE(Table.SetKeyValue(50, 50));
    EXPECT_EQ(Table.Size(), 128u);
    for (uintptr_t K = 1; K <= 50; ++K) {
      uintptr_t V = 0;
      EXPECT_TRUE(Table.GetKeyValue(K, V));
      EXPECT_EQ(V, K);
    }
  })) << "a lock was left held";
  EXPECT_TRUE(Grew);
}

}  // namespace
}  // namespace green
