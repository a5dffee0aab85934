// What a Handle names on posix: a kernel object, that is a descriptor that
// waits poll plus what a wait does when it polls ready.
//
// A handle is a slot of one process-wide table and the slot's generation.
// Closing a handle empties its slot and moves the generation on, so a
// handle that was closed is told apart without touching freed memory, and a
// slot reused by a new object does not answer to the old handle. Objects
// are shared: a wait that looked an object up keeps it alive until it
// returns, even if another thread closes the handle meanwhile, as on Windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Kernel.h"

namespace green::os {

// File: a regular file or an end of an anonymous pipe.
enum class ObjectKind : uint32_t { Event, Timer, File, Pipe, Process };

struct KernelObject {
  ObjectKind Kind;
  int Fd = -1;  // polled by waits; -1 for objects waits cannot take
  bool ManualReset = false;
  // Overlapped operations on IoFd() not finished yet, on any thread, and
  // whether the handle was closed: closing ends those operations.
  std::atomic<uint32_t> IoInFlight{0};
  std::atomic<bool> HandleClosed{false};
  // How transfers treat IoFd(), as the first one found out (0: not yet):
  // a descriptor keeps its kind, and a stream once made nonblocking stays so.
  std::atomic<uint8_t> IoClass{0};

  explicit KernelObject(ObjectKind K) : Kind(K) {}
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject();

  // Takes the signal of an object whose descriptor polled ready: nothing to
  // do for a manual-reset one; an auto-reset one is consumed, and false
  // means another wait consumed it first.
  virtual bool AcquireSignal();
  // Called once when the handle is closed, before the table lets go.
  virtual void Closed() {}
  // The descriptor that reads and writes on this object use, or -1 when it
  // takes none (events, timers).
  virtual int IoFd() const { return -1; }
};

using ObjectRef = std::shared_ptr<KernelObject>;

// A new handle for Object; kNoHandle (last error kErrorNotEnoughMemory) when
// the table is full.
Handle AddObject(ObjectRef Object);
// The live object behind H, or nullptr (last error kErrorInvalidHandle).
ObjectRef ObjectOf(Handle H);
// The object behind H if it is of Kind, else nullptr (kErrorInvalidHandle).
ObjectRef ObjectOf(Handle H, ObjectKind Kind);

// Set and reset an event object that is held rather than named by a handle
// (what a completing operation signals). False with the last error set.
bool SignalEventObject(KernelObject& Event);
void ResetEventObject(KernelObject& Event);

}  // namespace green::os
