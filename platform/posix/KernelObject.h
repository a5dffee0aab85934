// What a Handle points to on posix: a descriptor that waits poll, plus what
// a wait does when it polls ready.
#pragma once

#include <cstdint>

#include "platform/Kernel.h"

namespace green::os {

enum class ObjectKind : uint32_t { Event, Timer };

struct KernelObject {
  static constexpr uint32_t kAlive = 0x67724F62;
  uint32_t Magic = kAlive;  // cleared on close
  ObjectKind Kind;
  int Fd = -1;  // polled by waits; -1 for objects waits cannot take
  bool ManualReset = false;

  explicit KernelObject(ObjectKind K) : Kind(K) {}
  virtual ~KernelObject();
};

inline Handle HandleOf(KernelObject* Object) { return reinterpret_cast<Handle>(Object); }

// The live object behind H, or nullptr (last error kErrorInvalidHandle).
KernelObject* ObjectOf(Handle H);

// Takes the signal of an object whose descriptor polled ready: nothing to do
// for a manual-reset one; an auto-reset one is consumed, and false means
// another wait consumed it first.
bool AcquireSignal(KernelObject& Object);

// Timers are closed by their own module, which cancels them first.
void CloseTimer(KernelObject& Timer);

}  // namespace green::os
