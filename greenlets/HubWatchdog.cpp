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
    std::lock_guard<std::mutex> control(FControl);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FThreshold = ThresholdMs ? ThresholdMs : 1;
      FStop = false;
    }
    FWake.notify_all();
    if (FThread.joinable()) return;
    HubWatchOn.store(true, std::memory_order_relaxed);
    FThread = std::thread([this] { Run(); });
  }

  void Stop() {
    std::lock_guard<std::mutex> control(FControl);
    if (!FThread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
    HubWatchOn.store(false, std::memory_order_relaxed);
  }

  bool Running() {
    std::lock_guard<std::mutex> control(FControl);
    return FThread.joinable();
  }

  void SetReport(THubWatchdogReport Report) {
    std::lock_guard<std::mutex> lock(FReportLock);
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
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStop) {
      const uint32_t threshold = FThreshold;
      lock.unlock();
      Tick(threshold);
      lock.lock();
      const uint32_t period = threshold >= 4 ? threshold / 4 : 1;
      FWake.wait_for(lock, std::chrono::milliseconds(period),
                     [&] { return FStop || FThreshold != threshold; });
    }
  }

  void Tick(uint32_t ThresholdMs) {
    const int64_t now = os::MonotonicNanos();
    const int64_t threshold = int64_t{ThresholdMs} * 1000000;
    ++FTick;
    std::vector<THubStall> stalls;
    VisitHubs([&](const THubEntry& E) {
      THubBeat& beat = E.Hub->Beat();
      const uint32_t count = beat.Count.load(std::memory_order_relaxed);
      const void* running = beat.Running.load(std::memory_order_relaxed);
      const bool held =
          running || beat.Phase.load(std::memory_order_relaxed) == THubBeat::kServing;
      TWatch& w = FWatches[E.Serial];
      const bool fresh = w.Tick == 0;
      w.Tick = FTick;
      if (fresh || count != w.Count || held != w.Held) {
        w = {count, now, held, false, FTick};
        return;
      }
      if (!held || w.Reported || now - w.Since < threshold) return;
      w.Reported = true;
      THubStall s;
      s.Hub = E.Hub;
      s.ThreadId = E.Hub->ThreadId();
      s.DefaultHub = E.Default;
      s.Greenlet = running;
      s.HeldMs = static_cast<uint32_t>((now - w.Since) / 1000000);
      if (running) {
        s.Holder = DescribeListedGreenlet(E.Greenlets, running);
        if (s.Holder.empty()) s.Holder = "greenlet " + DumpAddress(running);
      } else {
        s.Holder = "the hub's loop (a task or callback)";
      }
      stalls.push_back(std::move(s));
    });
    for (auto it = FWatches.begin(); it != FWatches.end();)
      it = it->second.Tick == FTick ? std::next(it) : FWatches.erase(it);
    for (THubStall& s : stalls) {
      if (s.ThreadId && os::CaptureThreadStack(s.ThreadId, s.Frames, kStackTimeoutMs))
        for (uintptr_t pc : s.Frames) s.Stack.push_back(os::DescribeCodeAddress(pc));
      Deliver(s);
    }
  }

  void Deliver(const THubStall& S) {
    std::lock_guard<std::mutex> lock(FReportLock);
    if (FReport) {
      FReport(S);
    } else {
      const std::string text = S.Text();
      std::fwrite(text.data(), 1, text.size(), stderr);
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
  std::string out = "green: hub " + DumpAddress(Hub) + (DefaultHub ? " (default)" : "");
  out += Format(" on thread %" PRIu32 " held for %" PRIu32 " ms by ", ThreadId, HeldMs);
  out += Holder + ", without a switch\n";
  if (Stack.empty()) out += "  (the hub thread's stack could not be captured here)\n";
  for (size_t i = 0; i < Stack.size(); ++i)
    out += Format("  #%-2u ", static_cast<unsigned>(i)) + Stack[i] + "\n";
  return out;
}

void StartHubWatchdog(uint32_t ThresholdMs) { Monitor().Start(ThresholdMs); }

void StopHubWatchdog() { Monitor().Stop(); }

bool HubWatchdogRunning() { return Monitor().Running(); }

void SetHubWatchdogReport(THubWatchdogReport Report) { Monitor().SetReport(std::move(Report)); }

void StartHubWatchdogFromEnvironment() {
  static const bool once = [] {
    const char* value = std::getenv("GREEN_HUB_WATCHDOG");
    if (!value || !*value || std::strcmp(value, "0") == 0 || std::strcmp(value, "off") == 0)
      return false;
    uint32_t threshold = kHubWatchdogThreshold;
    if (std::strcmp(value, "1") != 0 && std::strcmp(value, "on") != 0) {
      char* end = nullptr;
      const unsigned long ms = std::strtoul(value, &end, 10);
      if (end != value && *end == '\0' && ms > 0 && ms < 3600000) threshold = static_cast<uint32_t>(ms);
    }
    StartHubWatchdog(threshold);
    return true;
  }();
  (void)once;
}

}  // namespace green
