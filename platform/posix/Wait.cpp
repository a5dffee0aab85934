// Waits: one poll over the objects' descriptors plus, when alertable, the
// thread's wake descriptor, with its nearest timer bounding the timeout.
// Routines run inside the wait; one that fails makes the wait raise its
// exception instead of answering.
#include <poll.h>

#include <cerrno>
#include <limits>

#include "platform/Callback.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/posix/Errno.h"
#include "platform/posix/KernelObject.h"
#include "platform/posix/ThreadWaitState.h"

namespace green::os {

namespace {

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// Milliseconds from Now until Until, rounded up so the wait never ends early;
// -1 for no deadline.
int PollTimeout(int64_t Now, int64_t Until) {
  if (Until == kNoDeadline) return -1;
  if (Until <= Now) return 0;
  int64_t Ms = (Until - Now + 999'999) / 1'000'000;
  return Ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                              : static_cast<int>(Ms);
}

uint32_t Fail(uint32_t Code) {
  SetLastError(Code);
  return kWaitFailed;
}

// The lowest index whose object polled ready and whose signal this wait took,
// or Count.
uint32_t TakeSignalled(uint32_t Count, const ObjectRef* Objects, const pollfd* Fds) {
  for (uint32_t I = 0; I < Count; ++I)
    if ((Fds[I].revents & POLLIN) && Objects[I]->AcquireSignal()) return I;
  return Count;
}

// The thread's due timers and queued routines, both before answering: the
// answer does not say which ran.
bool RunRoutines(ThreadWaitState& State, const pollfd& Wake) {
  bool Ran = RunDueTimers(State);
  if ((Wake.revents & POLLIN) && RunQueuedApcs(State)) Ran = true;
  RaiseCallbackFailure();
  return Ran;
}

}  // namespace

uint32_t WaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs,
                                bool Alertable) {
  if (Count > kMaxWaitObjects || (Count > 0 && !Handles)) return Fail(kErrorInvalidParameter);
  // Held for the wait: a handle closed meanwhile leaves its object polled.
  ObjectRef Objects[kMaxWaitObjects];
  pollfd Fds[kMaxWaitObjects + 1];
  for (uint32_t I = 0; I < Count; ++I) {
    Objects[I] = ObjectOf(Handles[I]);
    if (!Objects[I]) return kWaitFailed;
    // Timers run routines, they are not waited on.
    if (Objects[I]->Fd < 0) return Fail(kErrorNotSupported);
    Fds[I] = {Objects[I]->Fd, POLLIN, 0};
  }
  ThreadWaitState* State = Alertable ? &ThisThreadWaitState() : nullptr;
  if (State && RunHeldBackCallbacks()) {
    RaiseCallbackFailure();
    return kWaitIoCompletion;
  }
  nfds_t FdCount = Count;
  if (State) Fds[FdCount++] = {State->WakeFd, POLLIN, 0};

  int64_t Start = MonotonicNanos();
  int64_t Deadline = TimeoutMs == kInfinite ? kNoDeadline : Start + int64_t{TimeoutMs} * 1'000'000;
  for (int64_t Now = Start;; Now = MonotonicNanos()) {
    int64_t Until = Deadline;
    if (State) {
      int64_t Timer = NextTimerDue(*State);
      if (Timer >= 0 && Timer < Until) Until = Timer;
    }
    int Ready = poll(Fds, FdCount, PollTimeout(Now, Until));
    if (Ready < 0 && errno != EINTR) {
      SetLastErrorFromErrno();
      return kWaitFailed;
    }
    if (Ready > 0) {
      // A descriptor closed behind the layer's back would poll invalid forever.
      for (uint32_t I = 0; I < Count; ++I)
        if (Fds[I].revents & POLLNVAL) return Fail(kErrorInvalidHandle);
      uint32_t Index = TakeSignalled(Count, Objects, Fds);
      if (Index < Count) return kWaitObject0 + Index;
    }
    if (State && RunRoutines(*State, Fds[Count])) return kWaitIoCompletion;
    if (MonotonicNanos() >= Deadline) return kWaitTimeout;
  }
}

uint32_t WaitForSingleObject(Handle H, uint32_t TimeoutMs, bool Alertable) {
  return WaitForMultipleObjects(1, &H, TimeoutMs, Alertable);
}

uint32_t SleepEx(uint32_t TimeoutMs, bool Alertable) {
  uint32_t Result = WaitForMultipleObjects(0, nullptr, TimeoutMs, Alertable);
  return Result == kWaitTimeout ? 0 : Result;
}

uint32_t MsgWaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs) {
  // No window system yet: window input never arrives.
  return WaitForMultipleObjects(Count, Handles, TimeoutMs, true);
}

void PumpMessages() {}
bool PostEmptyMessage(uint32_t) { return false; }
bool HasPendingMessages() { return false; }

}  // namespace green::os
