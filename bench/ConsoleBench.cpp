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
  const std::string path = ChildPath();
  for (auto _ : State) {
    RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(path, {1});
    TStringGenerator lines = app->StdOut()->ReadLns();
    std::string line;
    for (const std::string& l : lines) {
      line = l;
      break;
    }
    if (line != "line 1") State.SkipWithError("the child's line did not arrive");
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_ConsoleAppLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

#ifndef _WIN32
extern "C" char** environ;

void BM_PosixSpawnLine(benchmark::State& State) {
  const std::string path = ChildPath();
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("1"), nullptr};
  for (auto _ : State) {
    int fds[3][2];
    for (auto& p : fds)
      if (pipe2(p, O_CLOEXEC) != 0) State.SkipWithError("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0][0], 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1][1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[2][1], 2);
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0)
      State.SkipWithError("posix_spawn");
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0][0]);
    close(fds[1][1]);
    close(fds[2][1]);
    std::string line;
    char buf[256];
    while (line.find("\r\n") == std::string::npos) {
      const ssize_t n = read(fds[1][0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0][1]);
    close(fds[1][0]);
    close(fds[2][0]);
    waitpid(pid, nullptr, 0);
    if (line != "line 1\r\n") State.SkipWithError("the child's line did not arrive");
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_PosixSpawnLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A reader waits for a line while a child writes 64 MiB without one: the
// peak resident bytes it gains, per byte written. One iteration, since a
// peak does not come down; the program runs it alone.
void BM_FloodMemory(benchmark::State& State) {
  constexpr int kMiB = 64;
  constexpr uint32_t kBytes = uint32_t{kMiB} << 20;
  double perByte = 0;
  for (auto _ : State) {
    const uint64_t before = os::PeakResidentBytes();
    RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(GREEN_BENCH_FLOOD_CHILD, {kMiB});
    std::string line;
    if (app->StdOut()->ReadLn(line)) State.SkipWithError("a line ended in the flood");
    if (app->StdOut()->Read(nullptr, 0) != kBytes) State.SkipWithError("bytes were lost");
    perByte = static_cast<double>(os::PeakResidentBytes() - before) / static_cast<double>(kBytes);
  }
  State.counters["held_per_byte"] = perByte;
}
BENCHMARK(BM_FloodMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
}  // namespace green
