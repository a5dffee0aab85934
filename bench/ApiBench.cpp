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
  std::vector<RefPtr<IRawGreenlet>> Batch;
  Batch.reserve(kBatch);
  auto Run = [&] {
    for (int I = 0; I < kBatch; ++I) Batch.push_back(TSymmetric::Spawn([] {}));
    Join(Batch, INFINITE);
    Batch.clear();
  };
  Run();
  for (auto _ : State) Run();
  State.SetItemsProcessed(State.iterations() * kBatch);
  State.counters["per_greenlet_ns"] = benchmark::Counter(
      double(State.iterations()) * kBatch, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SpawnJoin)->Unit(benchmark::kMillisecond);

#ifndef _WIN32
// The same with Boost.Fiber fibers on fixed-size stacks.
void BM_BoostFiberSpawnJoin(benchmark::State& State) {
  std::vector<boost::fibers::fiber> Batch;
  Batch.reserve(kBatch);
  for (auto _ : State) {
    for (int I = 0; I < kBatch; ++I)
      Batch.emplace_back(std::allocator_arg, boost::fibers::fixedsize_stack(kBoostStack), [] {});
    for (auto& F : Batch) F.join();
    Batch.clear();
  }
  State.SetItemsProcessed(State.iterations() * kBatch);
}
BENCHMARK(BM_BoostFiberSpawnJoin)->Unit(benchmark::kMillisecond);

// The same on a pooled stack allocator of a greenlet's usable stack size,
// its pool filled by one batch before the timing starts, as ours is.
void BM_BoostFiberPooledSpawnJoin(benchmark::State& State) {
  boost::fibers::pooled_fixedsize_stack Stacks(kGreenletStack, kBatch);
  std::vector<boost::fibers::fiber> Batch;
  Batch.reserve(kBatch);
  auto Run = [&] {
    for (int I = 0; I < kBatch; ++I) Batch.emplace_back(std::allocator_arg, Stacks, [] {});
    for (auto& F : Batch) F.join();
    Batch.clear();
  };
  Run();
  for (auto _ : State) Run();
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
  std::vector<RefPtr<IRawGreenlet>> Batch;
  Batch.reserve(kRound);
  auto Run = [&] {
    for (int I = 0; I < kRound; ++I) Batch.push_back(TSymmetric::Spawn([] {}));
    Join(Batch, INFINITE);
    Batch.clear();
  };
  Run();
  Run();
  uint64_t Allocs = 0, Greenlets = 0;
  for (auto _ : State) {
    const uint64_t Before = bench::AllocCount();
    Run();
    Allocs += bench::AllocCount() - Before;
    Greenlets += kRound;
  }
  State.counters["allocs_per_spawn_join"] = double(Allocs) / double(Greenlets ? Greenlets : 1);
}
BENCHMARK(BM_SpawnJoinAllocs)->Iterations(10)->Unit(benchmark::kMillisecond);

// Heap bytes held per suspended greenlet at 10^4 (each waits on one gevent,
// and the caller holds it for a Join): stack pages are not counted, since
// stacks are mapped by the fiber layer, not allocated on the heap. Also
// reported: the resident growth of the process per greenlet, stacks
// included. A figure, not a time.
void BM_GreenletBytes(benchmark::State& State) {
#if defined(__GLIBC__)
  const int N = static_cast<int>(State.range(0));
  auto Heap = [] {
    const struct mallinfo2 M = mallinfo2();
    return double(M.uordblks) + double(M.hblkhd);
  };
  auto Resident = [] {
    long Pages = 0, Rss = 0;
    if (FILE* F = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(F, "%ld %ld", &Pages, &Rss) != 2) Rss = 0;
      std::fclose(F);
    }
    return double(Rss) * 4096;
  };
  double PerHeap = 0, PerResident = 0;
  std::vector<RefPtr<IRawGreenlet>> Batch;
  for (auto _ : State) {
    Batch.reserve(N);
    auto Ev = MakeRef<TGevent>(true, false);
    const double H0 = Heap(), R0 = Resident();
    for (int I = 0; I < N; ++I) Batch.push_back(TSymmetric::Spawn([&Ev] { Ev->WaitFor(INFINITE); }));
    PerHeap = (Heap() - H0) / N;
    PerResident = (Resident() - R0) / N;
    Ev->SetEvent();
    Join(Batch, INFINITE);
    Batch.clear();
    Batch.shrink_to_fit();
  }
  State.counters["heap_bytes_per_greenlet"] = PerHeap;
  State.counters["resident_bytes_per_greenlet"] = PerResident;
#else
  State.SkipWithError("no heap statistics on this platform");
#endif
}
BENCHMARK(BM_GreenletBytes)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Values drawn through a generator, one per iteration.
void BM_Generator(benchmark::State& State) {
  auto Gen = TGenerator<int32_t>::Create([] {
    for (int32_t I = 0;; ++I) TGenerator<int32_t>::Yield(I);
  });
  auto E = Gen.GetEnumerator();
  int64_t Sum = 0;
  for (auto _ : State) {
    E.MoveNext();
    Sum += E.Current();
  }
  benchmark::DoNotOptimize(Sum);
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
  auto* G = static_cast<THandGenerator*>(Arg);
  for (int32_t I = 0;; ++I) {
    G->Value = I;
    os::SwitchToFiber(G->Consumer);
  }
}

void BM_HandFiberGenerator(benchmark::State& State) {
  THandGenerator G;
  G.Consumer = os::ConvertThreadToFiber();
  G.Producer = os::CreateFiber(64 * 1024, &HandProduce, &G);
  int64_t Sum = 0;
  for (auto _ : State) {
    os::SwitchToFiber(G.Producer);
    Sum += G.Value;
  }
  benchmark::DoNotOptimize(Sum);
  os::DeleteFiber(G.Producer);
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
  auto* G = static_cast<THandGenerator*>(Arg);
  for (int32_t I = 0;; ++I) HandYield(G, I);
}

void BM_HandFiberGeneratorNoinline(benchmark::State& State) {
  THandGenerator G;
  G.Consumer = os::ConvertThreadToFiber();
  G.Producer = os::CreateFiber(64 * 1024, &HandProduceOutOfLine, &G);
  int64_t Sum = 0;
  for (auto _ : State) Sum += HandMoveNext(&G);
  benchmark::DoNotOptimize(Sum);
  os::DeleteFiber(G.Producer);
}
BENCHMARK(BM_HandFiberGeneratorNoinline);

// Join of N greenlets that each wait on one gevent, after one SetEvent
// released them all; time per greenlet should not grow with N.
void BM_JoinMany(benchmark::State& State) {
  const int N = static_cast<int>(State.range(0));
  std::vector<RefPtr<IRawGreenlet>> Batch;
  Batch.reserve(N);
  for (auto _ : State) {
    State.PauseTiming();
    auto Ev = MakeRef<TGevent>(true, false);
    for (int I = 0; I < N; ++I) Batch.push_back(TSymmetric::Spawn([&Ev] { Ev->WaitFor(INFINITE); }));
    State.ResumeTiming();
    Ev->SetEvent();
    Join(Batch, INFINITE);
    State.PauseTiming();
    Batch.clear();
    State.ResumeTiming();
  }
  State.counters["per_greenlet"] = benchmark::Counter(
      double(State.iterations()) * N, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_JoinMany)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

#ifndef _WIN32
// The same shape on Boost.Fiber: N fibers on pooled stacks of a greenlet's
// size, each waiting on one event (a flag under a fiber mutex and
// condition), released at once and joined; the spawn is not timed.
void BM_BoostFiberJoinMany(benchmark::State& State) {
  const int N = static_cast<int>(State.range(0));
  boost::fibers::pooled_fixedsize_stack Stacks(kGreenletStack, N);
  std::vector<boost::fibers::fiber> Batch;
  Batch.reserve(N);
  for (auto _ : State) {
    State.PauseTiming();
    boost::fibers::mutex M;
    boost::fibers::condition_variable Cv;
    bool Set = false;
    for (int I = 0; I < N; ++I)
      Batch.emplace_back(std::allocator_arg, Stacks, [&] {
        std::unique_lock<boost::fibers::mutex> Lock(M);
        Cv.wait(Lock, [&] { return Set; });
      });
    // Every fiber runs up to its wait before the timing starts, as every
    // greenlet of BM_JoinMany is waiting.
    boost::this_fiber::yield();
    State.ResumeTiming();
    {
      std::unique_lock<boost::fibers::mutex> Lock(M);
      Set = true;
    }
    Cv.notify_all();
    for (auto& F : Batch) F.join();
    State.PauseTiming();
    Batch.clear();
    State.ResumeTiming();
  }
  State.counters["per_fiber"] = benchmark::Counter(
      double(State.iterations()) * N, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BoostFiberJoinMany)->Arg(10000)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
}  // namespace green
