// Many greenlets suspended in one gevent wait at once: resident memory per
// greenlet, and the time to release and finish them all.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "greenlets/Greenlets.h"

namespace green {
namespace {

#ifndef _WIN32
// Resident bytes of this process, from /proc.
double ResidentBytes() {
  long Pages = 0, Resident = 0;
  if (FILE* F = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(F, "%ld %ld", &Pages, &Resident) != 2) Resident = 0;
    std::fclose(F);
  }
  return static_cast<double>(Resident) * 4096;
}
#else
double ResidentBytes() { return 0; }
#endif

// Spawns up to N greenlets that wait on Ev, stopping at the first whose
// fiber the platform refuses; Refusal keeps that error.
std::vector<RefPtr<IRawGreenlet>> SpawnWaiters(int N, TGevent* Ev, std::string& Refusal) {
  std::vector<RefPtr<IRawGreenlet>> All;
  All.reserve(N);
  try {
    for (int I = 0; I < N; ++I) All.push_back(TSymmetric::Spawn([Ev] { Ev->WaitFor(INFINITE); }));
  } catch (const Exception& E) {
    Refusal = E.Message();
  }
  return All;
}

void BM_ManyWaitingGreenlets(benchmark::State& State) {
  const int N = static_cast<int>(State.range(0));
  double PerGreenlet = 0;
  size_t Reached = 0;
  for (auto _ : State) {
    auto Ev = MakeRef<TGevent>(true, false);
    std::string Refusal;
    const double Before = ResidentBytes();
    std::vector<RefPtr<IRawGreenlet>> All = SpawnWaiters(N, Ev.get(), Refusal);
    Reached = All.size();
    PerGreenlet = Reached ? (ResidentBytes() - Before) / static_cast<double>(Reached) : 0;
    if (Ev->WaiterCount() != Reached) State.SkipWithError("not all greenlets wait");
    Ev->SetEvent();
    if (!Join(All, 600000)) State.SkipWithError("not all greenlets ended");
    // 32-bit Wine holds a few thousand fibers, and says how many in
    // greenlets_live; a 64-bit process holds all of them.
    if (!Refusal.empty() && sizeof(void*) == 8) State.SkipWithError(Refusal.c_str());
  }
  State.counters["greenlets_live"] = static_cast<double>(Reached);
  State.counters["resident_bytes_per_greenlet"] = PerGreenlet;
}
BENCHMARK(BM_ManyWaitingGreenlets)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace green
