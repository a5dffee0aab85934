// Waits: one poll over the objects' descriptors, the descriptors of the
// thread's overlapped operations and, when alertable, the thread's wake
// descriptor, with its nearest timer bounding the timeout. Every wait moves
// the thread's operations on; routines run inside alertable waits only. One
// that fails makes the wait raise its exception instead of answering.
#include <poll.h>

#include <cerrno>
#include <limits>
#include <vector>

#include "platform/Callback.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/posix/Errno.h"
#include "platform/posix/KernelObject.h"
#include "platform/posix/Messages.h"
#include "platform/posix/PendingIo.h"
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

// What one wait polls: its objects, the wake descriptor when alertable, then
// the thread's operations in flight. The vectors are the thread's, borrowed
// so that waits do not allocate; a wait nested in a routine finds them taken
// and makes its own.
class PollSet {
 public:
  // State: the thread's, or nullptr for a thread without one (it has no
  // operations either).
  explicit PollSet(ThreadWaitState* State) : FState(State) {
    if (!FState) return;
    FFds.swap(FState->PollFds);
    FOps.swap(FState->PollOps);
  }
  ~PollSet() {
    if (!FState) return;
    FFds.clear();
    FOps.clear();
    FState->PollFds.swap(FFds);
    FState->PollOps.swap(FOps);
  }
  PollSet(const PollSet&) = delete;
  PollSet& operator=(const PollSet&) = delete;

  // Input, for a message-aware wait: its descriptors follow the wake one.
  void Build(uint32_t Count, const ObjectRef* Objects, bool Alertable, const MessageInput* Input) {
    FFds.clear();
    FOps.clear();
    for (uint32_t I = 0; I < Count; ++I) FFds.push_back({Objects[I]->Fd, POLLIN, 0});
    if (Alertable) FFds.push_back({FState->WakeFd, POLLIN, 0});
    if (Input) FFds.insert(FFds.end(), Input->Fds, Input->Fds + Input->Count);
    FFirstOp = FFds.size();
    if (FState) AddIoPolls(FState->Io, FFds, FOps);
  }
  pollfd* Fds() { return FFds.data(); }
  nfds_t Size() const { return FFds.size(); }
  // After a poll: the thread's operations that can go on do.
  void MoveIoOn() {
    if (FState) os::MoveIoOn(FState->Io, FFds.data() + FFirstOp, FOps.data(), FOps.size());
  }

 private:
  ThreadWaitState* FState;
  std::vector<pollfd> FFds;
  std::vector<PendingIo*> FOps;
  size_t FFirstOp = 0;
};

// The lowest index whose object polled ready and whose signal this wait took,
// or Count.
uint32_t TakeSignalled(uint32_t Count, const ObjectRef* Objects, const pollfd* Fds) {
  for (uint32_t I = 0; I < Count; ++I)
    if ((Fds[I].revents & POLLIN) && Objects[I]->AcquireSignal()) return I;
  return Count;
}

// The thread's due timers, queued routines and routines of finished
// operations, all before answering: the answer does not say which ran.
bool RunRoutines(ThreadWaitState& State, const pollfd& Wake) {
  bool Ran = RunDueTimers(State);
  if ((Wake.revents & POLLIN) && RunQueuedApcs(State)) Ran = true;
  if (RunFinishedIo(State.Io)) Ran = true;
  RaiseCallbackFailure();
  return Ran;
}

// Whether a message-aware wait's input polled ready; its descriptors follow
// the objects and the wake descriptor.
bool InputReady(uint32_t Count, const pollfd* Fds, const MessageInput& Input) {
  for (size_t I = 0; I < Input.Count; ++I)
    if (Fds[Count + 1 + I].revents & (POLLIN | POLLHUP | POLLERR)) return true;
  return false;
}

// The wait itself. With Input (always alertable) it also answers Count when
// window input is there, after the objects and before the routines.
uint32_t Wait(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs, bool Alertable,
              ThreadWaitState* State, const MessageInput* Input) {
  if (Count > kMaxWaitObjects || (Count > 0 && !Handles)) return Fail(kErrorInvalidParameter);
  // Held for the wait: a handle closed meanwhile leaves its object polled.
  ObjectRef Objects[kMaxWaitObjects];
  for (uint32_t I = 0; I < Count; ++I) {
    Objects[I] = ObjectOf(Handles[I]);
    if (!Objects[I]) return kWaitFailed;
    // Timers run routines, they are not waited on.
    if (Objects[I]->Fd < 0) return Fail(kErrorNotSupported);
  }
  if (Alertable && !MakeWakeFd(*State)) return kWaitFailed;
  if (Alertable && RunHeldBackCallbacks()) {
    RaiseCallbackFailure();
    return kWaitIoCompletion;
  }
  PollSet Set(State);

  int64_t Start = MonotonicNanos();
  int64_t Deadline = TimeoutMs == kInfinite ? kNoDeadline : Start + int64_t{TimeoutMs} * 1'000'000;
  for (int64_t Now = Start;; Now = MonotonicNanos()) {
    int64_t Until = Deadline;
    if (Alertable) {
      int64_t Timer = NextTimerDue(*State);
      if (Timer >= 0 && Timer < Until) Until = Timer;
      // Finished operations have their routines to run: no waiting.
      if (HasFinishedIo(State->Io)) Until = Now;
    }
    // Input the toolkit has already read polls nothing: no waiting either.
    const bool Pending = Input && Input->PendingNow();
    if (Pending) Until = Now;
    Set.Build(Count, Objects, Alertable, Input);
    int Ready = poll(Set.Fds(), Set.Size(), PollTimeout(Now, Until));
    if (Ready < 0 && errno != EINTR) {
      SetLastErrorFromErrno();
      return kWaitFailed;
    }
    if (Ready > 0) {
      // A descriptor closed behind the layer's back would poll invalid forever.
      for (uint32_t I = 0; I < Count; ++I)
        if (Set.Fds()[I].revents & POLLNVAL) return Fail(kErrorInvalidHandle);
      Set.MoveIoOn();
      uint32_t Index = TakeSignalled(Count, Objects, Set.Fds());
      if (Index < Count) return kWaitObject0 + Index;
    }
    if (Input && (Pending || (Ready > 0 && InputReady(Count, Set.Fds(), *Input)))) return Count;
    if (Alertable && RunRoutines(*State, Set.Fds()[Count])) return kWaitIoCompletion;
    if (MonotonicNanos() >= Deadline) return kWaitTimeout;
  }
}

}  // namespace

uint32_t WaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs,
                                bool Alertable) {
  // A plain wait does not make the thread's state: it may run while the
  // thread ends, and a thread without one has no operations to move on.
  ThreadWaitState* State = Alertable ? &ThisThreadWaitState() : ThisThreadWaitStateIfAny();
  return Wait(Count, Handles, TimeoutMs, Alertable, State, nullptr);
}

uint32_t WaitForSingleObject(Handle H, uint32_t TimeoutMs, bool Alertable) {
  return WaitForMultipleObjects(1, &H, TimeoutMs, Alertable);
}

uint32_t SleepEx(uint32_t TimeoutMs, bool Alertable) {
  uint32_t Result = WaitForMultipleObjects(0, nullptr, TimeoutMs, Alertable);
  return Result == kWaitTimeout ? 0 : Result;
}

uint32_t MsgWaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs) {
  ThreadWaitState& State = ThisThreadWaitState();
  const MessageInput Input = MessageInputOf(State);
  return Wait(Count, Handles, TimeoutMs, true, &State, &Input);
}

}  // namespace green::os
