// A watchdog for hubs that something holds too long: an optional monitor
// thread that looks at every hub a few times per threshold and reports,
// once per stall, a hub that a greenlet or one of the hub's own tasks and
// callbacks has held longer than the threshold without a switch. A hub
// waiting for work in its kernel wait, and a thread that is not serving its
// hub at all, hold nothing.
//
// Off by default. StartHubWatchdog turns it on, or the environment variable
// GREEN_HUB_WATCHDOG, read when the first hub is made: "1" or "on" for the
// default threshold, a number for a threshold in milliseconds, "0" or "off"
// (or nothing) for no watchdog.
//
// A report names the hub and its thread, the greenlet that held it (or the
// hub's loop), how long the hold had lasted when it was seen (the monitor
// samples four times per threshold: a report comes between one threshold
// and a quarter more after the hold began), and where the platform allows
// (Linux, 64-bit Windows) the hub thread's stack at that moment. It goes to
// a callback, by default a few lines on standard error; the callback runs
// on the monitor's thread and may take its time: the monitor waits.
//
// What is not seen: completion routines that run inside the hub's kernel
// wait, and greenlets switched while the watchdog was being turned on
// until their next switch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace green {

struct THubStall {
  const void* Hub = nullptr;
  uint32_t ThreadId = 0;  // the thread that served the hub
  bool DefaultHub = false;
  // The greenlet that held the hub, nullptr when the hub's loop did (a
  // task or callback), and its description: address, class, name.
  const void* Greenlet = nullptr;
  std::string Holder;
  // How long the hub had been held when the monitor saw it.
  uint32_t HeldMs = 0;
  // The hub thread's stack at the report, innermost first: return
  // addresses and their text. Empty where the platform cannot capture.
  std::vector<uintptr_t> Frames;
  std::vector<std::string> Stack;

  // The default report's text, one line and then a line per frame.
  std::string Text() const;
};

using THubWatchdogReport = std::function<void(const THubStall& Stall)>;

constexpr uint32_t kHubWatchdogThreshold = 100;  // milliseconds

// Starts the monitor, or changes the threshold of the running one.
void StartHubWatchdog(uint32_t ThresholdMs = kHubWatchdogThreshold);
// Stops the monitor and waits until its thread has ended.
void StopHubWatchdog();
bool HubWatchdogRunning();
// Where reports go from now on; an empty callback brings back the default
// (standard error).
void SetHubWatchdogReport(THubWatchdogReport Report);
// Reads GREEN_HUB_WATCHDOG once per process and starts the monitor when it
// says so; the hub list calls it when the first hub is made.
void StartHubWatchdogFromEnvironment();

}  // namespace green
