// The public API: spawning and joining greenlets, generators, and joining
// many greenlets released at once.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "AllocCount.h"
#include "greenlets/Greenlets.h"
#include "platform/Fiber.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#ifndef _WIN32
#include <boost/fiber/all.hpp>
#endif

namespace green {
namespace {

constexpr int kBatch = 10000;
constexpr size_t kBoostStack = 64 * 1024;
// The usable stack every greenlet gets whatever it asks for (the pool's
// standard size, platform/posix/StackPool.cpp): the pooled Boost.Fiber side
// gets the same, so that both touch and recycle stacks of one size.
constexpr size_t kGreenletStack = 256 * 1024;

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

// The same on a pooled stack allocator of a greenlet's usable stack size,
// its pool filled by one batch before the timing starts, as ours is.
void BM_BoostFiberPooledSpawnJoin(benchmark::State& State) {
  boost::fibers::pooled_fixedsize_stack stacks(kGreenletStack, kBatch);
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

// Heap allocations per spawn + join in steady state, counted by the bench
// program's malloc hook (AllocCount.cpp): a figure, not a time.
void BM_SpawnJoinAllocs(benchmark::State& State) {
  if (!bench::AllocCounted()) {
    State.SkipWithError("no malloc hook on this platform");
    return;
  }
  constexpr int kRound = 1000;
  std::vector<RefPtr<IRawGreenlet>> batch;
  batch.reserve(kRound);
  auto run = [&] {
    for (int i = 0; i < kRound; ++i) batch.push_back(TSymmetric::Spawn([] {}));
    Join(batch, INFINITE);
    batch.clear();
  };
  run();
  run();
  uint64_t allocs = 0, greenlets = 0;
  for (auto _ : State) {
    const uint64_t before = bench::AllocCount();
    run();
    allocs += bench::AllocCount() - before;
    greenlets += kRound;
  }
  State.counters["allocs_per_spawn_join"] = double(allocs) / double(greenlets ? greenlets : 1);
}
BENCHMARK(BM_SpawnJoinAllocs)->Iterations(10)->Unit(benchmark::kMillisecond);

// Heap bytes held per suspended greenlet at 10^4 (each waits on one gevent,
// and the caller holds it for a Join): stack pages are not counted, since
// stacks are mapped by the fiber layer, not allocated on the heap. Also
// reported: the resident growth of the process per greenlet, stacks
// included. A figure, not a time.
void BM_GreenletBytes(benchmark::State& State) {
#if defined(__GLIBC__)
  const int n = static_cast<int>(State.range(0));
  auto heap = [] {
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks) + double(m.hblkhd);
  };
  auto resident = [] {
    long pages = 0, rss = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
      std::fclose(f);
    }
    return double(rss) * 4096;
  };
  double perHeap = 0, perResident = 0;
  std::vector<RefPtr<IRawGreenlet>> batch;
  for (auto _ : State) {
    batch.reserve(n);
    auto ev = MakeRef<TGevent>(true, false);
    const double h0 = heap(), r0 = resident();
    for (int i = 0; i < n; ++i) batch.push_back(TSymmetric::Spawn([&ev] { ev->WaitFor(INFINITE); }));
    perHeap = (heap() - h0) / n;
    perResident = (resident() - r0) / n;
    ev->SetEvent();
    Join(batch, INFINITE);
    batch.clear();
    batch.shrink_to_fit();
  }
  State.counters["heap_bytes_per_greenlet"] = perHeap;
  State.counters["resident_bytes_per_greenlet"] = perResident;
#else
  State.SkipWithError("no heap statistics on this platform");
#endif
}
BENCHMARK(BM_GreenletBytes)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

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

// The fair limit for an out-of-line generator: the same hand-written
// generator whose step and yield are functions the compiler may not inline,
// as MoveNext and Yield are for a caller of the API.
[[gnu::noinline]] void HandYield(THandGenerator* G, int32_t V) {
  G->Value = V;
  os::SwitchToFiber(G->Consumer);
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] int32_t HandMoveNext(THandGenerator* G) {
  os::SwitchToFiber(G->Producer);
  asm volatile("" ::: "memory");
  return G->Value;
}

[[noreturn]] void HandProduceOutOfLine(void* Arg) {
  auto* g = static_cast<THandGenerator*>(Arg);
  for (int32_t i = 0;; ++i) HandYield(g, i);
}

void BM_HandFiberGeneratorNoinline(benchmark::State& State) {
  THandGenerator g;
  g.Consumer = os::ConvertThreadToFiber();
  g.Producer = os::CreateFiber(64 * 1024, &HandProduceOutOfLine, &g);
  int64_t sum = 0;
  for (auto _ : State) sum += HandMoveNext(&g);
  benchmark::DoNotOptimize(sum);
  os::DeleteFiber(g.Producer);
}
BENCHMARK(BM_HandFiberGeneratorNoinline);

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

#ifndef _WIN32
// The same shape on Boost.Fiber: N fibers on pooled stacks of a greenlet's
// size, each waiting on one event (a flag under a fiber mutex and
// condition), released at once and joined; the spawn is not timed.
void BM_BoostFiberJoinMany(benchmark::State& State) {
  const int n = static_cast<int>(State.range(0));
  boost::fibers::pooled_fixedsize_stack stacks(kGreenletStack, n);
  std::vector<boost::fibers::fiber> batch;
  batch.reserve(n);
  for (auto _ : State) {
    State.PauseTiming();
    boost::fibers::mutex m;
    boost::fibers::condition_variable cv;
    bool set = false;
    for (int i = 0; i < n; ++i)
      batch.emplace_back(std::allocator_arg, stacks, [&] {
        std::unique_lock<boost::fibers::mutex> lock(m);
        cv.wait(lock, [&] { return set; });
      });
    // Every fiber runs up to its wait before the timing starts, as every
    // greenlet of BM_JoinMany is waiting.
    boost::this_fiber::yield();
    State.ResumeTiming();
    {
      std::unique_lock<boost::fibers::mutex> lock(m);
      set = true;
    }
    cv.notify_all();
    for (auto& f : batch) f.join();
    State.PauseTiming();
    batch.clear();
    State.ResumeTiming();
  }
  State.counters["per_fiber"] = benchmark::Counter(
      double(State.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BoostFiberJoinMany)->Arg(10000)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
}  // namespace green
