// Waitable timers live in the arming thread's heap; its alertable waits
// sleep until the nearest due time and run the routines that came due.
#include <time.h>

#include <limits>
#include <memory>
#include <mutex>

#include "platform/Callback.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/posix/KernelObject.h"
#include "platform/posix/ThreadWaitState.h"
#include "platform/posix/TimerHeap.h"

namespace green::os {

struct TimerObject : KernelObject {
  TimerObject() : KernelObject(ObjectKind::Timer) {}
  // A closed timer leaves its thread's queue before the table lets go of it.
  void Closed() override;
  std::mutex Lock;  // guards Owner and IsClosed
  bool IsClosed = false;
  std::shared_ptr<ThreadWaitState> Owner;  // the arming thread
  // Guarded by Owner->Lock.
  int64_t Due = 0;  // monotonic ns
  int64_t PeriodNs = 0;
  TimerApcProc Routine = nullptr;
  void* Arg = nullptr;
  size_t HeapIndex = kNotQueued;
};

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
// 100-ns units from 1601-01-01 (absolute due times) to 1970-01-01.
constexpr int64_t kUnixEpochIn100Ns = 116444736000000000;

std::shared_ptr<TimerObject> TimerOf(Handle H) {
  return std::static_pointer_cast<TimerObject>(ObjectOf(H, ObjectKind::Timer));
}

// Now plus Units of 100 ns on the monotonic clock, saturating.
int64_t AddUnits(int64_t Now, int64_t Units) {
  if (Units <= 0) return Now;
  if (Units > (kNever - Now) / 100) return kNever;
  return Now + Units * 100;
}

// A due time in 100-ns units (negative: relative; else absolute system time)
// as a monotonic instant.
int64_t DueInstant(int64_t DueTime) {
  int64_t Now = MonotonicNanos();
  if (DueTime < 0) {
    // -INT64_MIN does not exist; that far is never anyway.
    return DueTime == std::numeric_limits<int64_t>::min() ? kNever : AddUnits(Now, -DueTime);
  }
  timespec Wall;
  clock_gettime(CLOCK_REALTIME, &Wall);
  int64_t WallUnits = kUnixEpochIn100Ns + int64_t{Wall.tv_sec} * 10'000'000 + Wall.tv_nsec / 100;
  return AddUnits(Now, DueTime - WallUnits);
}

void Unqueue(TimerObject& Timer) {
  if (!Timer.Owner) return;
  std::lock_guard<std::mutex> Guard(Timer.Owner->Lock);
  if (Timer.HeapIndex != kNotQueued) TimerHeap<TimerObject>(Timer.Owner->Timers).Remove(&Timer);
}

}  // namespace

Handle CreateWaitableTimer(bool ManualReset) {
  auto Timer = std::make_shared<TimerObject>();
  Timer->ManualReset = ManualReset;
  return AddObject(std::move(Timer));
}

bool SetWaitableTimer(Handle H, int64_t DueTime, int32_t PeriodMs, TimerApcProc Routine,
                      void* Arg) {
  std::shared_ptr<TimerObject> Timer = TimerOf(H);
  if (!Timer) return false;
  if (PeriodMs < 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::shared_ptr<ThreadWaitState> Self = ThisThreadWaitStateShared();
  int64_t Due = DueInstant(DueTime);
  std::lock_guard<std::mutex> Guard(Timer->Lock);
  // Closed by another thread since the lookup: queueing it now would leave
  // the queue pointing at a freed timer.
  if (Timer->IsClosed) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (Timer->Owner != Self) {
    Unqueue(*Timer);
    Timer->Owner = Self;
  }
  std::lock_guard<std::mutex> OwnerGuard(Self->Lock);
  Timer->Due = Due;
  Timer->PeriodNs = int64_t{PeriodMs} * 1'000'000;
  Timer->Routine = Routine;
  Timer->Arg = Arg;
  TimerHeap<TimerObject> Heap(Self->Timers);
  if (Timer->HeapIndex == kNotQueued) {
    Heap.Push(Timer.get());
  } else {
    Heap.Update(Timer.get());
  }
  return true;
}

bool CancelWaitableTimer(Handle H) {
  std::shared_ptr<TimerObject> Timer = TimerOf(H);
  if (!Timer) return false;
  std::lock_guard<std::mutex> Guard(Timer->Lock);
  Unqueue(*Timer);
  return true;
}

void TimerObject::Closed() {
  std::lock_guard<std::mutex> Guard(Lock);
  IsClosed = true;
  Unqueue(*this);
}

int64_t NextTimerDue(ThreadWaitState& State) {
  std::lock_guard<std::mutex> Guard(State.Lock);
  return State.Timers.empty() ? -1 : State.Timers.front()->Due;
}

bool RunDueTimers(ThreadWaitState& State) {
  int64_t Now = MonotonicNanos();
  bool Ran = false;
  // One at a time, without the lock while a routine runs: it may cancel,
  // re-arm or close any timer, itself included. After a routine failed the
  // rest stay queued for the next wait.
  while (!CallbackFailed()) {
    TimerApcProc Routine;
    void* Arg;
    int64_t Due;
    {
      std::lock_guard<std::mutex> Guard(State.Lock);
      if (State.Timers.empty() || State.Timers.front()->Due > Now) return Ran;
      TimerObject* Timer = State.Timers.front();
      TimerHeap<TimerObject> Heap(State.Timers);
      Routine = Timer->Routine;
      Arg = Timer->Arg;
      Due = Timer->Due;
      if (Timer->PeriodNs > 0) {
        // Re-armed from its due time; periods missed while the thread did not
        // wait are skipped rather than run in a burst.
        int64_t Missed = (Now - Due) / Timer->PeriodNs;
        Timer->Due = Due + (Missed + 1) * Timer->PeriodNs;
        Heap.Update(Timer);
      } else {
        Heap.Remove(Timer);
      }
    }
    if (Routine) {
      Ran = true;
      auto Units = static_cast<uint64_t>(Due / 100);
      RunSystemCallback([Routine, Arg, Units] {
        Routine(Arg, static_cast<uint32_t>(Units), static_cast<uint32_t>(Units >> 32));
      });
    }
  }
  return Ran;
}

void DropTimers(ThreadWaitState& State) {
  std::lock_guard<std::mutex> Guard(State.Lock);
  for (TimerObject* Timer : State.Timers) Timer->HeapIndex = kNotQueued;
  State.Timers.clear();
}

}  // namespace green::os
