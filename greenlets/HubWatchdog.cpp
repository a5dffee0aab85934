// The hub watchdog's monitor: a thread that samples every listed hub's
// beat (hub/HubBeat.h) four times per threshold, under the hub list's lock,
// and reports each unbroken hold past the threshold once.
#include "greenlets/HubWatchdog.h"

#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/Exception.h"
#include "greenlets/Greenlets.h"
#include "hub/Hub.h"
#include "hub/HubBeat.h"
#include "hub/HubList.h"
#include "platform/Clock.h"
#include "platform/StackTrace.h"

namespace green {

std::atomic<bool> HubWatchOn{false};

// Dump.cpp: "greenlet 0x... Class "name"" when Joiner lists G, else "".
std::string DescribeListedGreenlet(TObject* Joiner, const void* G);

namespace {

// How long the monitor waits for a hub's thread to give its stack.
constexpr uint32_t kStackTimeoutMs = 500;

class TMonitor {
 public:
  ~TMonitor() { Stop(); }

  void Start(uint32_t ThresholdMs) {
    std::lock_guard<std::mutex> Control(FControl);
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FThreshold = ThresholdMs ? ThresholdMs : 1;
      FStop = false;
    }
    FWake.notify_all();
    if (FThread.joinable()) return;
    HubWatchOn.store(true, std::memory_order_relaxed);
    FThread = std::thread([this] { Run(); });
  }

  void Stop() {
    std::lock_guard<std::mutex> Control(FControl);
    if (!FThread.joinable()) return;
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
    HubWatchOn.store(false, std::memory_order_relaxed);
  }

  bool Running() {
    std::lock_guard<std::mutex> Control(FControl);
    return FThread.joinable();
  }

  void SetReport(THubWatchdogReport Report) {
    std::lock_guard<std::mutex> Lock(FReportLock);
    FReport = std::move(Report);
  }

 private:
  // What the monitor last saw of one hub.
  struct TWatch {
    uint32_t Count = 0;
    int64_t Since = 0;  // when this Count was first seen
    bool Held = false;
    bool Reported = false;
    uint64_t Tick = 0;  // the last tick that saw the hub
  };

  void Run() {
    std::unique_lock<std::mutex> Lock(FLock);
    while (!FStop) {
      const uint32_t Threshold = FThreshold;
      Lock.unlock();
      Tick(Threshold);
      Lock.lock();
      const uint32_t Period = Threshold >= 4 ? Threshold / 4 : 1;
      FWake.wait_for(Lock, std::chrono::milliseconds(Period),
                     [&] { return FStop || FThreshold != Threshold; });
    }
  }

  void Tick(uint32_t ThresholdMs) {
    const int64_t Now = os::MonotonicNanos();
    const int64_t Threshold = int64_t{ThresholdMs} * 1000000;
    ++FTick;
    std::vector<THubStall> Stalls;
    VisitHubs([&](const THubEntry& E) {
      THubBeat& Beat = E.Hub->Beat();
      const uint32_t Count = Beat.Count.load(std::memory_order_relaxed);
      const void* Running = Beat.Running.load(std::memory_order_relaxed);
      const bool Held =
          Running || Beat.Phase.load(std::memory_order_relaxed) == THubBeat::kServing;
      TWatch& W = FWatches[E.Serial];
      const bool Fresh = W.Tick == 0;
      W.Tick = FTick;
      if (Fresh || Count != W.Count || Held != W.Held) {
        W = {Count, Now, Held, false, FTick};
        return;
      }
      if (!Held || W.Reported || Now - W.Since < Threshold) return;
      W.Reported = true;
      THubStall S;
      S.Hub = E.Hub;
      S.ThreadId = E.Hub->ThreadId();
      S.DefaultHub = E.Default;
      S.Greenlet = Running;
      S.HeldMs = static_cast<uint32_t>((Now - W.Since) / 1000000);
      if (Running) {
        S.Holder = DescribeListedGreenlet(E.Greenlets, Running);
        if (S.Holder.empty()) S.Holder = "greenlet " + DumpAddress(Running);
      } else {
        S.Holder = "the hub's loop (a task or callback)";
      }
      Stalls.push_back(std::move(S));
    });
    for (auto It = FWatches.begin(); It != FWatches.end();)
      It = It->second.Tick == FTick ? std::next(It) : FWatches.erase(It);
    for (THubStall& S : Stalls) {
      if (S.ThreadId && os::CaptureThreadStack(S.ThreadId, S.Frames, kStackTimeoutMs))
        for (uintptr_t Pc : S.Frames) S.Stack.push_back(os::DescribeCodeAddress(Pc));
      Deliver(S);
    }
  }

  void Deliver(const THubStall& S) {
    std::lock_guard<std::mutex> Lock(FReportLock);
    if (FReport) {
      FReport(S);
    } else {
      const std::string Text = S.Text();
      std::fwrite(Text.data(), 1, Text.size(), stderr);
      std::fflush(stderr);
    }
  }

  std::mutex FControl;  // Start and Stop, one at a time
  std::mutex FLock;     // FThreshold and FStop, with FWake
  std::condition_variable FWake;
  uint32_t FThreshold = kHubWatchdogThreshold;
  bool FStop = false;
  std::thread FThread;
  std::mutex FReportLock;
  THubWatchdogReport FReport;
  // The monitor thread's own.
  std::unordered_map<uint64_t, TWatch> FWatches;
  uint64_t FTick = 0;
};

TMonitor& Monitor() {
  static TMonitor monitor;
  return monitor;
}

}  // namespace

std::string THubStall::Text() const {
  std::string Out = "green: hub " + DumpAddress(Hub) + (DefaultHub ? " (default)" : "");
  Out += Format(" on thread %" PRIu32 " held for %" PRIu32 " ms by ", ThreadId, HeldMs);
  Out += Holder + ", without a switch\n";
  if (Stack.empty()) Out += "  (the hub thread's stack could not be captured here)\n";
  for (size_t I = 0; I < Stack.size(); ++I)
    Out += Format("  #%-2u ", static_cast<unsigned>(I)) + Stack[I] + "\n";
  return Out;
}

void StartHubWatchdog(uint32_t ThresholdMs) { Monitor().Start(ThresholdMs); }

void StopHubWatchdog() { Monitor().Stop(); }

bool HubWatchdogRunning() { return Monitor().Running(); }

void SetHubWatchdogReport(THubWatchdogReport Report) { Monitor().SetReport(std::move(Report)); }

void StartHubWatchdogFromEnvironment() {
  static const bool Once = [] {
    const char* Value = std::getenv("GREEN_HUB_WATCHDOG");
    if (!Value || !*Value || std::strcmp(Value, "0") == 0 || std::strcmp(Value, "off") == 0)
      return false;
    uint32_t Threshold = kHubWatchdogThreshold;
    if (std::strcmp(Value, "1") != 0 && std::strcmp(Value, "on") != 0) {
      char* End = nullptr;
      const unsigned long Ms = std::strtoul(Value, &End, 10);
      if (End != Value && *End == '\0' && Ms > 0 && Ms < 3600000) Threshold = static_cast<uint32_t>(Ms);
    }
    StartHubWatchdog(Threshold);
    return true;
  }();
  (void)Once;
}

}  // namespace green
