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
  TPasMPSpinLock spin;
  TPasMPMultipleReaderSingleWriterSpinLock rw;
  int spinCounter = 0, rwCounter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      spin.Acquire();
      ++spinCounter;
      spin.Release();
      rw.AcquireRead();
      rw.ReadToWrite();
      ++rwCounter;
      rw.WriteToRead();
      rw.ReleaseRead();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(spinCounter, 40000);
  EXPECT_EQ(rwCounter, 40000);
  static_assert(sizeof(TPasMPSpinLock) == 64 && alignof(TPasMPSpinLock) == 64);
}

TEST(PasMPHashTable, GarbageCollectorTableGrowsAtItsLimit) {
  TGCTable table;
  EXPECT_EQ(table.Size(), 64u);
  std::vector<std::unique_ptr<TObject>> keys;
  for (int i = 0; i < 49; ++i) keys.push_back(std::make_unique<TObject>());
  for (int i = 0; i < 48; ++i) EXPECT_TRUE(table.SetKeyValue(keys[i].get(), nullptr));
  EXPECT_EQ(table.Size(), 64u);
  EXPECT_EQ(table.Count(), 48u);
  EXPECT_TRUE(table.SetKeyValue(keys[48].get(), nullptr));
  EXPECT_EQ(table.Size(), 128u);
  EXPECT_EQ(table.Count(), 49u);
  for (auto& k : keys) EXPECT_TRUE(table.ContainsKey(k.get()));
  EXPECT_FALSE(table.ContainsKey(reinterpret_cast<TObject*>(uintptr_t{64})));
}

TEST(PasMPHashTable, ReplaceKeepsCountAndReleasesOldValue) {
  std::atomic<int> destroyed{0};
  TTable table;
  EXPECT_TRUE(table.SetKeyValue(7, MakeRef<TProbeValue>(&destroyed)));
  auto second = MakeRef<TProbeValue>(&destroyed);
  EXPECT_TRUE(table.SetKeyValue(7, second));
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(table.Count(), 1u);
  RefPtr<TProbeValue> got;
  EXPECT_TRUE(table.GetKeyValue(7, got));
  EXPECT_EQ(got, second);
  EXPECT_EQ(second->GetRefCount(), 3);  // second, got, the table
  EXPECT_FALSE(table.GetKeyValue(8, got));
  EXPECT_EQ(got, nullptr);
}

TEST(PasMPHashTable, DeleteOnceThenAbsentAndKeysBeyondDeletedSlotsFound) {
  std::atomic<int> destroyed{0};
  TTable table;
  for (uintptr_t k = 1; k <= 40; ++k) table.SetKeyValue(k, MakeRef<TProbeValue>(&destroyed));
  for (uintptr_t k = 1; k <= 40; k += 2) EXPECT_TRUE(table.DeleteKey(k));
  EXPECT_EQ(destroyed.load(), 20);
  EXPECT_FALSE(table.DeleteKey(1));
  EXPECT_FALSE(table.ContainsKey(1));
  EXPECT_EQ(table.Count(), 20u);
  for (uintptr_t k = 2; k <= 40; k += 2) EXPECT_TRUE(table.ContainsKey(k)) << k;
  // Deleted slots count against the limit; the table stays consistent
  // across the rebuilds they cause.
  for (int round = 0; round < 20; ++round) {
    for (uintptr_t k = 1; k <= 40; k += 2) EXPECT_TRUE(table.SetKeyValue(k, MakeRef<TProbeValue>(nullptr)));
    for (uintptr_t k = 1; k <= 40; k += 2) EXPECT_TRUE(table.DeleteKey(k));
  }
  EXPECT_EQ(table.Count(), 20u);
  for (uintptr_t k = 2; k <= 40; k += 2) EXPECT_TRUE(table.ContainsKey(k)) << k;
}

TEST(PasMPHashTable, PresentKeysStayVisibleWhileOtherThreadsGrowIt) {
  for (int round = 0; round < 8; ++round) {
    TIntTable table;
    constexpr uintptr_t Present = 40;
    for (uintptr_t k = 1; k <= Present; ++k) table.SetKeyValue(k, k * 10);
    TStartLine start(3);
    std::atomic<bool> growing{true};
    std::atomic<int> missing{0};
    std::thread grower([&] {
      start.arrive_and_wait();
      for (uintptr_t k = 1000; k < 3000; ++k) table.SetKeyValue(k, k);
      growing = false;
    });
    std::thread churn([&] {
      start.arrive_and_wait();
      for (uintptr_t k = 5000; growing; k = k < 5200 ? k + 1 : 5000) {
        table.SetKeyValue(k, k);
        table.DeleteKey(k);
      }
    });
    start.arrive_and_wait();
    while (growing) {
      for (uintptr_t k = 1; k <= Present; ++k) {
        uintptr_t v = 0;
        if (!table.GetKeyValue(k, v) || v != k * 10) ++missing;
      }
    }
    grower.join();
    churn.join();
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(table.Count(), Present + 2000);
    for (uintptr_t k = 1000; k < 3000; ++k) ASSERT_TRUE(table.ContainsKey(k)) << k;
  }
}

// Lookups read slots without locking them while writers replace values and
// hand deleted slots to other keys: a found value is always the key's own.
TEST(PasMPHashTable, LookupsNeverPairAKeyWithAnotherKeysValue) {
  TIntTable table;
  constexpr uintptr_t Keys = 24;
  constexpr uintptr_t Stride = 1 << 20;  // value = key * Stride + generation
  TStartLine start(3);
  std::atomic<bool> writing{true};
  std::atomic<int> wrong{0};
  std::atomic<long> found{0};
  std::thread writer([&] {
    start.arrive_and_wait();
    // Until the readers have seen values too: on a busy machine the writer
    // could otherwise finish before they look once.
    for (uintptr_t gen = 1; gen < 20000 || found.load(std::memory_order_relaxed) < 100; ++gen) {
      const uintptr_t k = gen % Keys + 1;
      if (gen % 3 == 0) table.DeleteKey(k);
      else table.SetKeyValue(k, k * Stride + gen % Stride);
    }
    writing = false;
  });
  auto read = [&] {
    start.arrive_and_wait();
    while (writing) {
      for (uintptr_t k = 1; k <= Keys; ++k) {
        uintptr_t v = 0;
        if (!table.GetKeyValue(k, v)) continue;
        found.fetch_add(1, std::memory_order_relaxed);
        if (v / Stride != k) wrong.fetch_add(1);
      }
    }
  };
  std::thread reader(read);
  read();
  writer.join();
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(found.load(), 0);
  EXPECT_LE(table.Count(), Keys);
}

TEST(PasMPHashTable, SameKeyFromTwoThreadsLeavesOneEntry) {
  for (int round = 0; round < 100; ++round) {
    TIntTable table;
    TStartLine start(2);
    auto insert = [&](uintptr_t v) {
      start.arrive_and_wait();
      table.SetKeyValue(42, v);
    };
    std::thread a(insert, 1), b(insert, 2);
    a.join();
    b.join();
    ASSERT_EQ(table.Count(), 1u);
    ASSERT_TRUE(table.DeleteKey(42));
    ASSERT_FALSE(table.ContainsKey(42));
  }
}

TEST(PasMPHashTable, FinalizeMayDeleteAnotherKeyOfTheSameTable) {
  std::atomic<int> destroyed{0};
  TTable table;
  // Each value deletes the next key when it goes: a chain of nested deletes.
  for (uintptr_t k = 1; k <= 10; ++k) {
    table.SetKeyValue(k, MakeRef<TProbeValue>(&destroyed, [&table, k] { table.DeleteKey(k + 1); }));
  }
  EXPECT_TRUE(table.DeleteKey(1));
  EXPECT_EQ(destroyed.load(), 10);
  EXPECT_EQ(table.Count(), 0u);

  // Replacing a value, and retiring a state after a grow, release values too.
  table.SetKeyValue(100, MakeRef<TProbeValue>(&destroyed, [&table] { table.DeleteKey(101); }));
  table.SetKeyValue(101, MakeRef<TProbeValue>(&destroyed));
  table.SetKeyValue(100, MakeRef<TProbeValue>(&destroyed));
  EXPECT_EQ(destroyed.load(), 12);
  EXPECT_FALSE(table.ContainsKey(101));
  for (uintptr_t k = 200; k < 400; ++k) {
    table.SetKeyValue(k, MakeRef<TProbeValue>(&destroyed, [&table, k] { table.DeleteKey(k + 1000); }));
  }
  EXPECT_EQ(table.Count(), 201u);
}

// A grow that cannot allocate its new state fails that insert and leaves
// the table as it was: the next inserts grow it and every key is there.
TEST(PasMPHashTable, AGrowThatCannotAllocateLeavesTheTableUsable) {
  bool grew = false;
  EXPECT_TRUE(test::FinishesWithin(30000, [&] {
    TIntTable table;
    for (uintptr_t k = 1; k <= 48; ++k) ASSERT_TRUE(table.SetKeyValue(k, k));
    ASSERT_EQ(table.Size(), 64u);
    for (int successes = 0; successes < 16 && !grew; ++successes) {
      test::FailAllocationAfter(successes);
      try {
        table.SetKeyValue(49, 49);
        grew = !test::StopFailingAllocations();
      } catch (const std::bad_alloc&) {
        test::StopFailingAllocations();
      }
    }
    EXPECT_TRUE(table.SetKeyValue(50, 50));
    EXPECT_EQ(table.Size(), 128u);
    for (uintptr_t k = 1; k <= 50; ++k) {
      uintptr_t v = 0;
      EXPECT_TRUE(table.GetKeyValue(k, v));
      EXPECT_EQ(v, k);
    }
  })) << "a lock was left held";
  EXPECT_TRUE(grew);
}

}  // namespace
}  // namespace green
