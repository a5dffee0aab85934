// What a watchdog on another thread reads of a hub to tell that something
// has held it too long (greenlets/HubWatchdog.h). Only the hub's thread
// writes; the monitor reads. Every field is a relaxed atomic written with a
// plain store (one writer): a reader may see a switch late, which costs a
// report at most one sampling period.
//
// A hub is held while a greenlet entered from its loop runs (Running), or
// while its thread serves it outside the kernel wait (Phase == kServing):
// a task pass, a callback. Count moves at every change of either, so a
// monitor that sees the same Count twice a threshold apart has seen one
// unbroken hold.
//
// The greenlet switch notes its edges only while a watchdog runs
// (HubWatchOn): a switch then costs two stores, and a load and an untaken
// branch otherwise. The serve and wait edges, one per system call, are
// noted always.
#pragma once

#include <atomic>
#include <cstdint>

namespace green {

struct THubBeat {
  enum TPhase : uint8_t { kIdle = 0, kServing = 1, kWaiting = 2 };

  std::atomic<uint32_t> Count{0};
  std::atomic<const void*> Running{nullptr};  // the greenlet on the hub's thread, or nullptr
  std::atomic<uint8_t> Phase{kIdle};

  void Bump() { Count.store(Count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
  // A greenlet of the hub starts running (G) or control is back in the
  // hub's root context (nullptr).
  void Enter(const void* G) {
    Running.store(G, std::memory_order_relaxed);
    Bump();
  }
  // Sets the phase and answers the one before, for a scope to restore.
  uint8_t SetPhase(uint8_t Value) {
    const uint8_t Old = Phase.load(std::memory_order_relaxed);
    Phase.store(Value, std::memory_order_relaxed);
    Bump();
    return Old;
  }
};

// True while a hub watchdog runs.
extern std::atomic<bool> HubWatchOn;

// Puts the hub in a phase for a scope (a serve, a kernel wait) and restores
// the phase it found. A scope inside one of the same phase (a task pass
// inside a serve) changes nothing, so it notes nothing either.
class THubPhaseScope {
 public:
  THubPhaseScope(THubBeat& Beat, uint8_t Phase)
      : FBeat(Beat), FSaved(Beat.Phase.load(std::memory_order_relaxed)) {
    if (FSaved != Phase) FBeat.SetPhase(Phase);
    FChanged = FSaved != Phase;
  }
  ~THubPhaseScope() {
    if (FChanged) FBeat.SetPhase(FSaved);
  }
  THubPhaseScope(const THubPhaseScope&) = delete;
  THubPhaseScope& operator=(const THubPhaseScope&) = delete;

 private:
  THubBeat& FBeat;
  uint8_t FSaved;
  bool FChanged;
};

}  // namespace green
