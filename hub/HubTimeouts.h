// The hub's timers and timeouts, one kernel waitable timer each, keyed by
// the timer's handle, which is also the identifier the caller gets.
#pragma once

#include <memory>
#include <unordered_map>

#include "hub/GInterfaces.h"

namespace green {

struct TTimeoutTuple {
  THandle Id = os::kNoHandle;
  TInervalCallback Cb = nullptr;
  void* Data = nullptr;
  TCustomHub* Hub = nullptr;
  // Runs the callback with the thread's current hub set to Hub.
  void Trigger() const;
};

struct TTimeouts {
  std::unique_ptr<std::unordered_map<THandle, std::unique_ptr<TTimeoutTuple>, os::HandleHash>> FMap;

  void Initialize();
  bool IsInitialized() const { return FMap != nullptr; }
  bool Find(THandle Id) const;
  TTimeoutTuple* Enqueue(THandle Id, TInervalCallback Cb, void* Data, TCustomHub* Hub);
  // Removes the entry and gives its kernel timer back to the system.
  void Dequeue(THandle Id);
  // Cancels and removes every timer.
  void Deinitialize();
};

}  // namespace green
