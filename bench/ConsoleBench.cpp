// A console application's round trip: start a child that prints one CR LF
// line and read that line through StdOut's line generator; against a bare
// posix_spawn that, as the console application does, gives the child a
// pipe for each of its three standard streams, then reads up to the CR LF.
#include <benchmark/benchmark.h>

#include <string>

#include "ovo/Ovo.h"
#include "platform/Memory.h"
#include "platform/Shell.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace green {
namespace {

std::string ChildPath() { return os::ExecutableDirectory() + os::kPathDelim + "bench_child_lines"; }

void BM_ConsoleAppLine(benchmark::State& State) {
  const std::string Path = ChildPath();
  for (auto _ : State) {
    RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(Path, {1});
    TStringGenerator Lines = App->StdOut()->ReadLns();
    std::string Line;
    for (const std::string& L : Lines) {
      Line = L;
      break;
    }
    if (Line != "line 1") State.SkipWithError("the child's line did not arrive");
    benchmark::DoNotOptimize(Line);
  }
}
BENCHMARK(BM_ConsoleAppLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

#ifndef _WIN32
extern "C" char** environ;

void BM_PosixSpawnLine(benchmark::State& State) {
  const std::string Path = ChildPath();
  char* Argv[] = {const_cast<char*>(Path.c_str()), const_cast<char*>("1"), nullptr};
  for (auto _ : State) {
    int Fds[3][2];
    for (auto& P : Fds)
      if (pipe2(P, O_CLOEXEC) != 0) State.SkipWithError("pipe");
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Fds[0][0], 0);
    posix_spawn_file_actions_adddup2(&Actions, Fds[1][1], 1);
    posix_spawn_file_actions_adddup2(&Actions, Fds[2][1], 2);
    pid_t Pid = 0;
    if (posix_spawn(&Pid, Path.c_str(), &Actions, nullptr, Argv, environ) != 0)
      State.SkipWithError("posix_spawn");
    posix_spawn_file_actions_destroy(&Actions);
    close(Fds[0][0]);
    close(Fds[1][1]);
    close(Fds[2][1]);
    std::string Line;
    char Buf[256];
    while (Line.find("\r\n") == std::string::npos) {
      const ssize_t N = read(Fds[1][0], Buf, sizeof Buf);
      if (N <= 0) break;
      Line.append(Buf, static_cast<size_t>(N));
    }
    close(Fds[0][1]);
    close(Fds[1][0]);
    close(Fds[2][0]);
    waitpid(Pid, nullptr, 0);
    if (Line != "line 1\r\n") State.SkipWithError("the child's line did not arrive");
    benchmark::DoNotOptimize(Line);
  }
}
BENCHMARK(BM_PosixSpawnLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A reader waits for a line while a child writes 64 MiB without one: the
// peak resident bytes it gains, per byte written. One iteration, since a
// peak does not come down; the program runs it alone.
void BM_FloodMemory(benchmark::State& State) {
  constexpr int kMiB = 64;
  constexpr uint32_t kBytes = uint32_t{kMiB} << 20;
  double PerByte = 0;
  for (auto _ : State) {
    const uint64_t Before = os::PeakResidentBytes();
    RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(GREEN_BENCH_FLOOD_CHILD, {kMiB});
    std::string Line;
    if (App->StdOut()->ReadLn(Line)) State.SkipWithError("a line ended in the flood");
    if (App->StdOut()->Read(nullptr, 0) != kBytes) State.SkipWithError("bytes were lost");
    PerByte = static_cast<double>(os::PeakResidentBytes() - Before) / static_cast<double>(kBytes);
  }
  State.counters["held_per_byte"] = PerByte;
}
BENCHMARK(BM_FloodMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
}  // namespace green
