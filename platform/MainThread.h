// Calls that other threads hand to the main thread, and the hook that wakes
// the main thread when one arrives. This stands in for the window toolkit's
// own synchronisation queue; it needs no operating-system support.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace green::os {

// A notification without arguments: code and the object it is bound to.
struct WakeHook {
  void (*Code)(void* Self) = nullptr;
  void* Self = nullptr;
  explicit operator bool() const { return Code != nullptr; }
  void operator()() const {
    if (Code) Code(Self);
  }
  friend bool operator==(const WakeHook&, const WakeHook&) = default;
};

// The process-wide hook called whenever a call is queued for the main thread.
WakeHook GetMainThreadWakeHook();
void SetMainThreadWakeHook(WakeHook Hook);

// Runs Fn on the main thread and returns when it has run; an exception it
// raises is raised again here. On the main thread Fn runs at once.
void Synchronize(const std::function<void()>& Fn);
// The calls queued, for a check that finds none without the lock or a call
// (a hub checks on every task pass).
extern std::atomic<size_t> MainThreadCallsPending;
// CheckSynchronize once there may be something to run.
bool RunSynchronized(uint32_t TimeoutMs);
// On the main thread: runs the queued calls, waiting up to TimeoutMs for the
// first one. True when any ran. Elsewhere: false.
inline bool CheckSynchronize(uint32_t TimeoutMs = 0) {
  if (TimeoutMs == 0 && MainThreadCallsPending.load(std::memory_order_acquire) == 0) return false;
  return RunSynchronized(TimeoutMs);
}

}  // namespace green::os
