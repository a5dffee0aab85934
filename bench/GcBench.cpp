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
    for (auto& s : Storage) Keys.push_back(&s);
  }
};

const TKeys& Keys() {
  static TKeys keys;
  return keys;
}

green::TPasMPHashTable<const void*, uintptr_t>& Table() {
  static auto* table = [] {
    auto* t = new green::TPasMPHashTable<const void*, uintptr_t>;
    for (size_t i = 0; i < KeyCount; ++i) t->SetKeyValue(Keys().Keys[i], i);
    return t;
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
    auto* m = new TLockedMap<Mutex>;
    for (size_t i = 0; i < KeyCount; ++i) m->Map.emplace(Keys().Keys[i], i);
    return m;
  }();
  return *map;
}

size_t HalfOf(const benchmark::State& state) {
  return static_cast<size_t>(state.thread_index() & 1) * (KeyCount / 2);
}

// Wall time: a thread that sleeps on a contended lock spends none of its own
// CPU time there, so CPU time would hide what the lock costs.
void BM_HashTableLookup(benchmark::State& state) {
  auto& table = Table();
  const auto& keys = Keys().Keys;
  const size_t half = HalfOf(state);
  size_t i = 0;
  for (auto _ : state) {
    uintptr_t v = 0;
    benchmark::DoNotOptimize(table.GetKeyValue(keys[half + (i++ & (KeyCount / 2 - 1))], v));
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_HashTableLookup)->Threads(2)->Threads(4)->UseRealTime();

template <class Mutex, class Guard>
void LockedMapLookup(benchmark::State& state) {
  auto& map = LockedMap<Mutex>();
  const auto& keys = Keys().Keys;
  const size_t half = HalfOf(state);
  size_t i = 0;
  for (auto _ : state) {
    uintptr_t v = 0;
    {
      Guard guard(map.Lock);
      auto it = map.Map.find(keys[half + (i++ & (KeyCount / 2 - 1))]);
      if (it != map.Map.end()) v = it->second;
    }
    benchmark::DoNotOptimize(v);
  }
}

void BM_MutexMapLookup(benchmark::State& state) {
  LockedMapLookup<std::mutex, std::lock_guard<std::mutex>>(state);
}
BENCHMARK(BM_MutexMapLookup)->Threads(2)->Threads(4)->UseRealTime();

void BM_SharedMutexMapLookup(benchmark::State& state) {
  LockedMapLookup<std::shared_mutex, std::shared_lock<std::shared_mutex>>(state);
}
BENCHMARK(BM_SharedMutexMapLookup)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace
