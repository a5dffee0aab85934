// What each thread knows about its greenlets: the current one, who is
// waiting for whom (the caller stack), its root fiber and root procedure.
#pragma once

#include <cstddef>

#include "greenlets/VarRec.h"
#include "hub/GInterfaces.h"
#include "platform/Fiber.h"

namespace green {

class TRawGreenletImpl;

struct TGreenletThread {
  static constexpr size_t kMaxCallers = 1000;

  TRawGreenletImpl* Current = nullptr;
  // nullptr entries stand for the root context.
  TRawGreenletImpl* Callers[kMaxCallers] = {};
  size_t CallerCount = 0;
  os::Fiber RootFiber = nullptr;
  TTaskMethod RootProc;
  // A greenlet whose last reference went while its own fiber ran; whoever
  // gets control next destroys it.
  TRawGreenletImpl* PendingDelete = nullptr;
  // Values handed over by the last switch or yield, and whether it was a yield.
  TVarRec Tuple[20] = {};  // MAX_TUPLE_SIZE
  size_t TupleCount = 0;
  bool TupleYield = false;

  static TGreenletThread& Get() { return This; }
  os::Fiber EnsureRootFiber() {
    if (!RootFiber) RootFiber = os::ConvertThreadToFiber();
    return RootFiber;
  }
  bool PushCaller(TRawGreenletImpl* G) {
    if (CallerCount >= kMaxCallers) return false;
    Callers[CallerCount++] = G;
    return true;
  }
  // The caller stack for a switch from Saved (nullptr: the root) into
  // Target. Switching back to a context that already waits below keeps the
  // stack flat. False when the stack is full.
  bool EnterFrom(const TRawGreenletImpl* Target, TRawGreenletImpl* Saved) {
    if (!Saved)
      CallerCount = 0;
    else if (CallerCount > 0 && Callers[CallerCount - 1] == Target)
      --CallerCount;
    return PushCaller(Saved);
  }
  // Runs after every return from a fiber switch.
  void AfterSwitch() {
    if (PendingDelete && PendingDelete != Current) DestroyPending();
  }

 private:
  void DestroyPending();
  // Switches read it several times each: kept inline, at a fixed place.
  static constinit thread_local TGreenletThread This;
};

}  // namespace green
