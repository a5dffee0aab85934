// Many greenlets suspended in one gevent wait at once: resident memory per
// greenlet, and the time to release and finish them all.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "greenlets/Greenlets.h"

namespace green {
namespace {

#ifndef _WIN32
// Resident bytes of this process, from /proc.
double ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * 4096;
}
#else
double ResidentBytes() { return 0; }
#endif

void BM_ManyWaitingGreenlets(benchmark::State& State) {
  const int n = static_cast<int>(State.range(0));
  double perGreenlet = 0;
  for (auto _ : State) {
    auto ev = MakeRef<TGevent>(true, false);
    std::vector<RefPtr<IRawGreenlet>> all;
    all.reserve(n);
    const double before = ResidentBytes();
    for (int i = 0; i < n; ++i) all.push_back(TSymmetric::Spawn([&ev] { ev->WaitFor(INFINITE); }));
    perGreenlet = (ResidentBytes() - before) / n;
    if (ev->WaiterCount() != static_cast<size_t>(n)) State.SkipWithError("not all greenlets wait");
    ev->SetEvent();
    if (!Join(all, 600000)) State.SkipWithError("not all greenlets ended");
  }
  State.counters["resident_bytes_per_greenlet"] = perGreenlet;
}
BENCHMARK(BM_ManyWaitingGreenlets)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace green
