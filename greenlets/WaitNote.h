// What a greenlet waits on, for DumpGreenlets. The greenlet notes each wait
// itself, on its own thread; any thread may read the note. The fields are
// separate relaxed atomics: a reader may see fields of two successive waits
// mixed, which a report can live with, and the noted object is only ever
// printed, never touched.
#pragma once

#include <atomic>
#include <cstdint>

#include "hub/Deadline.h"
#include "platform/Clock.h"

namespace green {

class TRawGreenletImpl;

enum TWaitKind : uint8_t { wkNone, wkGevent, wkSleep, wkJoin, wkIO };

struct TWaitNote {
  std::atomic<TWaitKind> Kind{wkNone};
  std::atomic<const void*> Object{nullptr};
  std::atomic<uintptr_t> Handle{0};
  // Monotonic nanoseconds: the wait's deadline (0: none), and on the coarse
  // clock when the greenlet last switched away to wait (0: never).
  std::atomic<int64_t> Deadline{0};
  std::atomic<int64_t> Since{0};

  // Notes a wait unless one is noted already; true when it did.
  bool Begin(TWaitKind NewKind, const void* NewObject, const TDeadline& NewDeadline,
             uintptr_t NewHandle) {
    if (Kind.load(std::memory_order_relaxed) != wkNone) return false;
    // Read on every wait: the tick's resolution does for a report.
    const int64_t Now = os::CoarseMonotonicNanos();
    Object.store(NewObject, std::memory_order_relaxed);
    Handle.store(NewHandle, std::memory_order_relaxed);
    Deadline.store(NewDeadline.Nanos(), std::memory_order_relaxed);
    Since.store(Now, std::memory_order_relaxed);
    Kind.store(NewKind, std::memory_order_relaxed);
    return true;
  }
};

// Notes a wait of the current greenlet for a scope; on the root context it
// does nothing. An outer noted wait stays: it says more (a sleep, a join
// or a read is also a wait on a gevent).
class TWaitScope {
 public:
  TWaitScope(TWaitKind Kind, const void* Object, const TDeadline& Deadline,
             uintptr_t Handle = 0);
  TWaitScope(TRawGreenletImpl* Current, TWaitKind Kind, const void* Object,
             const TDeadline& Deadline, uintptr_t Handle = 0);
  // For a caller with the greenlet's note at hand: inline, as every gevent
  // wait makes one.
  TWaitScope(TWaitNote& Note, TWaitKind Kind, const void* Object, const TDeadline& Deadline) {
    if (Note.Begin(Kind, Object, Deadline, 0)) FNote = &Note;
  }
  ~TWaitScope() {
    if (FNote) FNote->Kind.store(wkNone, std::memory_order_relaxed);
  }
  TWaitScope(const TWaitScope&) = delete;
  TWaitScope& operator=(const TWaitScope&) = delete;

 private:
  TWaitNote* FNote = nullptr;
};

}  // namespace green
