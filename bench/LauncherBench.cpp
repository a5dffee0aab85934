// The launcher's decision, from its start until the worker has started,
// with a detector that prints the marker and ends at once; against a
// minimal program that spawns the same detector, reads to its end and
// spawns the same worker; and against the same minimal program in C++,
// linked as the launcher is. All run in one scratch folder laid out as the
// launcher expects; the worker reports its start through a FIFO there.
#ifndef _WIN32
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

extern char** environ;

namespace green {
namespace {

namespace fs = std::filesystem;

// The folder, made once: launcher, Quorlin.exe, bin/Tarvex.exe and the
// minimal launcher, and the FIFO the worker writes to.
class TDemoFolder {
 public:
  TDemoFolder() : FPath(fs::temp_directory_path() / ("green-bench-launch-" + std::to_string(getpid()))) {
    fs::create_directories(FPath / "bin");
    const auto Copy = fs::copy_options::overwrite_existing;
    fs::copy_file(GREEN_BENCH_LAUNCHER, FPath / "launcher", Copy);
    fs::copy_file(GREEN_BENCH_DETECTOR, FPath / "Quorlin.exe", Copy);
    fs::copy_file(GREEN_BENCH_WORKER, FPath / "bin" / "Tarvex.exe", Copy);
    fs::copy_file(GREEN_BENCH_MIN_LAUNCHER, FPath / "min_launcher", Copy);
    fs::copy_file(GREEN_BENCH_MIN_CPP_LAUNCHER, FPath / "min_cpp_launcher", Copy);
    if (mkfifo((FPath / "started").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    // Read and write: opening never blocks, and a read waits for the worker.
    FFifo = open((FPath / "started").c_str(), O_RDWR | O_CLOEXEC);
    fs::current_path(FPath);
  }
  ~TDemoFolder() {
    close(FFifo);
    std::error_code Ignored;
    fs::remove_all(FPath, Ignored);
  }

  // Runs Program in the folder; returns once the worker has said so, and
  // reaps the program outside the measured time.
  void RunUntilWorkerStarted(benchmark::State& State, const char* Program) {
    char* Args[] = {const_cast<char*>(Program), nullptr};
    pid_t Pid;
    if (posix_spawn(&Pid, Program, nullptr, nullptr, Args, environ) != 0) {
      State.SkipWithError("cannot start the program");
      return;
    }
    char Byte;
    if (read(FFifo, &Byte, 1) != 1) State.SkipWithError("the worker did not report");
    State.PauseTiming();
    waitpid(Pid, nullptr, 0);
    State.ResumeTiming();
  }

 private:
  fs::path FPath;
  int FFifo = -1;
};

TDemoFolder& Folder() {
  static TDemoFolder F;
  return F;
}

void BM_LauncherDecision(benchmark::State& State) {
  TDemoFolder& F = Folder();
  for (auto _ : State) F.RunUntilWorkerStarted(State, "./launcher");
}
BENCHMARK(BM_LauncherDecision)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MinimalLauncher(benchmark::State& State) {
  TDemoFolder& F = Folder();
  for (auto _ : State) F.RunUntilWorkerStarted(State, "./min_launcher");
}
BENCHMARK(BM_MinimalLauncher)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MinimalCppLauncher(benchmark::State& State) {
  TDemoFolder& F = Folder();
  for (auto _ : State) F.RunUntilWorkerStarted(State, "./min_cpp_launcher");
}
BENCHMARK(BM_MinimalCppLauncher)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace green
#endif
