// Lookups in the collector's concurrent table against a std::unordered_map
// holding the same keys under a std::mutex and under a std::shared_mutex
// taken shared, from two and from four threads at once. Each
// thread looks up its own half of the keys, as threads mostly touch their
// own objects: the table's cost is then its own, not shared slot lines.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "gc/PasMP.h"

namespace {

constexpr size_t KeyCount = 1024;

struct TKeys {
  std::vector<uint64_t> Storage = std::vector<uint64_t>(KeyCount);
  std::vector<const void*> Keys;
  TKeys() {
    for (auto& S : Storage) Keys.push_back(&S);
  }
};

const TKeys& Keys() {
  static TKeys keys;
  return keys;
}

green::TPasMPHashTable<const void*, uintptr_t>& Table() {
  static auto* table = [] {
    auto* T = new green::TPasMPHashTable<const void*, uintptr_t>;
    for (size_t I = 0; I < KeyCount; ++I) T->SetKeyValue(Keys().Keys[I], I);
    return T;
  }();
  return *table;
}

template <class Mutex>
struct TLockedMap {
  Mutex Lock;
  std::unordered_map<const void*, uintptr_t> Map;
};

template <class Mutex>
TLockedMap<Mutex>& LockedMap() {
  static auto* map = [] {
    auto* M = new TLockedMap<Mutex>;
    for (size_t I = 0; I < KeyCount; ++I) M->Map.emplace(Keys().Keys[I], I);
    return M;
  }();
  return *map;
}

size_t HalfOf(const benchmark::State& State) {
  return static_cast<size_t>(State.thread_index() & 1) * (KeyCount / 2);
}

// Wall time: a thread that sleeps on a contended lock spends none of its own
// CPU time there, so CPU time would hide what the lock costs.
void BM_HashTableLookup(benchmark::State& State) {
  auto& Shared = Table();
  const auto& Sample = Keys().Keys;
  const size_t Half = HalfOf(State);
  size_t I = 0;
  for (auto _ : State) {
    uintptr_t V = 0;
    benchmark::DoNotOptimize(Shared.GetKeyValue(Sample[Half + (I++ & (KeyCount / 2 - 1))], V));
    benchmark::DoNotOptimize(V);
  }
}
BENCHMARK(BM_HashTableLookup)->Threads(2)->Threads(4)->UseRealTime();

template <class Mutex, class Guard>
void LockedMapLookup(benchmark::State& State) {
  auto& Map = LockedMap<Mutex>();
  const auto& Sample = Keys().Keys;
  const size_t Half = HalfOf(State);
  size_t I = 0;
  for (auto _ : State) {
    uintptr_t V = 0;
    {
      Guard Held(Map.Lock);
      auto It = Map.Map.find(Sample[Half + (I++ & (KeyCount / 2 - 1))]);
      if (It != Map.Map.end()) V = It->second;
    }
    benchmark::DoNotOptimize(V);
  }
}

void BM_MutexMapLookup(benchmark::State& State) {
  LockedMapLookup<std::mutex, std::lock_guard<std::mutex>>(State);
}
BENCHMARK(BM_MutexMapLookup)->Threads(2)->Threads(4)->UseRealTime();

void BM_SharedMutexMapLookup(benchmark::State& State) {
  LockedMapLookup<std::shared_mutex, std::shared_lock<std::shared_mutex>>(State);
}
BENCHMARK(BM_SharedMutexMapLookup)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace
