// The demultiplexor's handle table: parallel columns handed to the kernel
// wait as they are. Entry 0 is the hub's own wake-up event.
#pragma once

#include <cstdint>

#include "hub/GInterfaces.h"

namespace green {

struct TEventTuple {
  THandle Event = os::kNoHandle;
  TEventCallback Cb = nullptr;
  void* Data = nullptr;
  TCustomHub* Hub = nullptr;
  // Runs the callback with the thread's current hub set to Hub.
  void Trigger(bool Aborted) const;
};

struct TEvents {
  // A wait takes at most 64 objects: the wake-up entry and 62 handles, with
  // one slot spare for the message-aware wait's input answer.
  static constexpr int32_t kMaxEntries = 63;
  // No more than a wait takes: every hub zeroes the columns when it is made
  // (1024 entries were 32 KiB, eight fresh pages, in each thread's start).
  static constexpr int32_t kCapacity = kMaxEntries + 1;

  THandle SyncEvent = os::kNoHandle;
  THandle FBuf[kCapacity] = {};
  TEventCallback FCb[kCapacity] = {};
  void* FData[kCapacity] = {};
  TCustomHub* FHub[kCapacity] = {};
  int32_t FBufSize = 0;

  void Initialize();
  bool IsInitialized() const { return SyncEvent != os::kNoHandle; }
  void DeInitialize();
  const THandle* Buf() const { return FBuf; }
  int32_t BufSize() const { return FBufSize; }
  bool Find(THandle Ev, int32_t& Index) const;
  TEventTuple TupleByIndex(int32_t I) const;
  void Enqueue(THandle Ev, TEventCallback Cb, void* Data, TCustomHub* Hub);
  void DequeueByIndex(int32_t I);
  void Dequeue(THandle Ev);
};

}  // namespace green
