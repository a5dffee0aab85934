// Kernel objects, waits, completion routines and waitable timers, with the
// semantics of their Win32 counterparts:
// - a wait on up to 64 objects answers the lowest signalled index;
// - an auto-reset event wakes exactly one wait, the one that reports it;
// - completion routines (APCs) run on the thread they were queued to, only
//   inside that thread's alertable waits, which then answer kWaitIoCompletion
//   without reporting an object;
// - a waitable timer's routine runs on the thread that armed it.
// posix: a kernel object is a descriptor plus what a wait does when it polls
// ready; timers live in the arming thread's own queue.
#pragma once

#include <cstddef>
#include <cstdint>

namespace green::os {

using Handle = std::uintptr_t;
constexpr Handle kNoHandle = 0;
// What the calls that open files and pipes answer on failure, as on Windows.
constexpr Handle kInvalidHandleValue = ~Handle{0};

// The hash for tables keyed by live handles. A closed handle's slot comes
// back under a new handle that differs only above the low word, and hashes
// as it did before: a table that sees handles come and go keeps to the same
// few warm buckets instead of a fresh, cold one per handle.
struct HandleHash {
  std::size_t operator()(Handle H) const noexcept { return static_cast<uint32_t>(H); }
};

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kMaxWaitObjects = 64;

// Answers of the waits.
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitAbandoned0 = 0x80;
constexpr uint32_t kWaitIoCompletion = 0xC0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// Events. CreateEvent answers kNoHandle on failure (see GetLastError).
Handle CreateEvent(bool ManualReset, bool InitialState);
bool SetEvent(Handle Ev);
bool ResetEvent(Handle Ev);
bool CloseHandle(Handle H);

// Waits until one of Handles is signalled (lowest index wins; an auto-reset
// event is consumed), the timeout passes, or, when Alertable, completion
// routines were run. Count may be 0 (then only the timeout or completion
// routines end the wait). Answers kWaitObject0 + i, kWaitAbandoned0 + i,
// kWaitTimeout, kWaitIoCompletion or kWaitFailed (last error set).
uint32_t WaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs,
                                bool Alertable);
uint32_t WaitForSingleObject(Handle H, uint32_t TimeoutMs, bool Alertable = false);
// Sleeps; alertable sleeps answer kWaitIoCompletion after completion routines ran.
uint32_t SleepEx(uint32_t TimeoutMs, bool Alertable);

// The wait of a windowed process's main thread: as the alertable
// WaitForMultipleObjects, and answers Count when window input is available
// (posix: a posted message, or the registered toolkit's input on the main
// thread, platform/WindowInput.h).
uint32_t MsgWaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs);
// Translates and dispatches every message in the calling thread's queue
// (posix: takes the posted ones and lets the toolkit dispatch its input).
void PumpMessages();
// Posts an empty message to a thread's message queue, creating the calling
// thread's queue when it posts to itself; whether the calling thread's queue
// holds a message. posix: a thread's queue counts empty messages; it is
// made by the thread's first message call, as on Windows.
bool PostEmptyMessage(uint32_t ThreadId);
bool HasPendingMessages();

// Completion routines. QueueApc queues Proc(Arg) to the thread with that id
// (the calling thread or another); false when that thread is gone or unknown.
using ApcProc = void (*)(void* Arg);
bool QueueApc(uint32_t ThreadId, ApcProc Proc, void* Arg);

// Waitable timers. DueTime is in 100-ns units; negative means relative to
// now. Period in milliseconds, 0 for one shot. Routine(Arg, low, high) runs
// on the arming thread inside one of its alertable waits.
using TimerApcProc = void (*)(void* Arg, uint32_t TimerLowValue, uint32_t TimerHighValue);
Handle CreateWaitableTimer(bool ManualReset);
bool SetWaitableTimer(Handle Timer, int64_t DueTime, int32_t PeriodMs, TimerApcProc Routine,
                      void* Arg);
bool CancelWaitableTimer(Handle Timer);

}  // namespace green::os
