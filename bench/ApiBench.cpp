// The public API: spawning and joining greenlets, generators, and joining
// many greenlets released at once.
#include <benchmark/benchmark.h>

#include <vector>

#include "greenlets/Greenlets.h"
#include "platform/Fiber.h"

#ifndef _WIN32
#include <boost/fiber/all.hpp>
#endif

namespace green {
namespace {

constexpr int kBatch = 10000;
constexpr size_t kBoostStack = 64 * 1024;

// Per greenlet: spawn a body that returns at once, then join it. One batch
// before the timing fills the stack pool.
void BM_SpawnJoin(benchmark::State& State) {
  std::vector<RefPtr<IRawGreenlet>> batch;
  batch.reserve(kBatch);
  auto run = [&] {
    for (int i = 0; i < kBatch; ++i) batch.push_back(TSymmetric::Spawn([] {}));
    Join(batch, INFINITE);
    batch.clear();
  };
  run();
  for (auto _ : State) run();
  State.SetItemsProcessed(State.iterations() * kBatch);
  State.counters["per_greenlet_ns"] = benchmark::Counter(
      double(State.iterations()) * kBatch, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SpawnJoin)->Unit(benchmark::kMillisecond);

#ifndef _WIN32
// The same with Boost.Fiber fibers on fixed-size stacks.
void BM_BoostFiberSpawnJoin(benchmark::State& State) {
  std::vector<boost::fibers::fiber> batch;
  batch.reserve(kBatch);
  for (auto _ : State) {
    for (int i = 0; i < kBatch; ++i)
      batch.emplace_back(std::allocator_arg, boost::fibers::fixedsize_stack(kBoostStack), [] {});
    for (auto& f : batch) f.join();
    batch.clear();
  }
  State.SetItemsProcessed(State.iterations() * kBatch);
}
BENCHMARK(BM_BoostFiberSpawnJoin)->Unit(benchmark::kMillisecond);

// The same on a pooled stack allocator of the same stack size, its pool
// filled by one batch before the timing starts, as ours is.
void BM_BoostFiberPooledSpawnJoin(benchmark::State& State) {
  boost::fibers::pooled_fixedsize_stack stacks(kBoostStack, kBatch);
  std::vector<boost::fibers::fiber> batch;
  batch.reserve(kBatch);
  auto run = [&] {
    for (int i = 0; i < kBatch; ++i) batch.emplace_back(std::allocator_arg, stacks, [] {});
    for (auto& f : batch) f.join();
    batch.clear();
  };
  run();
  for (auto _ : State) run();
  State.SetItemsProcessed(State.iterations() * kBatch);
}
BENCHMARK(BM_BoostFiberPooledSpawnJoin)->Unit(benchmark::kMillisecond);
#endif

// Values drawn through a generator, one per iteration.
void BM_Generator(benchmark::State& State) {
  auto gen = TGenerator<int32_t>::Create([] {
    for (int32_t i = 0;; ++i) TGenerator<int32_t>::Yield(i);
  });
  auto e = gen.GetEnumerator();
  int64_t sum = 0;
  for (auto _ : State) {
    e.MoveNext();
    sum += e.Current();
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_Generator);

// A generator written by hand on the platform's fibers: the floor for one
// value handed from a producer fiber to its consumer.
struct THandGenerator {
  os::Fiber Consumer = nullptr;
  os::Fiber Producer = nullptr;
  int32_t Value = 0;
};

[[noreturn]] void HandProduce(void* Arg) {
  auto* g = static_cast<THandGenerator*>(Arg);
  for (int32_t i = 0;; ++i) {
    g->Value = i;
    os::SwitchToFiber(g->Consumer);
  }
}

void BM_HandFiberGenerator(benchmark::State& State) {
  THandGenerator g;
  g.Consumer = os::ConvertThreadToFiber();
  g.Producer = os::CreateFiber(64 * 1024, &HandProduce, &g);
  int64_t sum = 0;
  for (auto _ : State) {
    os::SwitchToFiber(g.Producer);
    sum += g.Value;
  }
  benchmark::DoNotOptimize(sum);
  os::DeleteFiber(g.Producer);
}
BENCHMARK(BM_HandFiberGenerator);

// Join of N greenlets that each wait on one gevent, after one SetEvent
// released them all; time per greenlet should not grow with N.
void BM_JoinMany(benchmark::State& State) {
  const int n = static_cast<int>(State.range(0));
  std::vector<RefPtr<IRawGreenlet>> batch;
  batch.reserve(n);
  for (auto _ : State) {
    State.PauseTiming();
    auto ev = MakeRef<TGevent>(true, false);
    for (int i = 0; i < n; ++i) batch.push_back(TSymmetric::Spawn([&ev] { ev->WaitFor(INFINITE); }));
    State.ResumeTiming();
    ev->SetEvent();
    Join(batch, INFINITE);
    State.PauseTiming();
    batch.clear();
    State.ResumeTiming();
  }
  State.counters["per_greenlet"] = benchmark::Counter(
      double(State.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_JoinMany)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace green
