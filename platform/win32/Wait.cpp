// Waits: the system's, with its answers unchanged. Alertable waits first
// run the routines that a failed routine held back, and raise that failure
// once the system call has returned.
#include "platform/win32/Win.h"

#include "platform/Callback.h"
#include "platform/Kernel.h"
#include "platform/WindowInput.h"

namespace green::os {
namespace {

// Handle and HANDLE have the same size but are different types: copy
// rather than alias.
bool ToNative(uint32_t Count, const Handle* Handles, HANDLE* Native) {
  if (Count > kMaxWaitObjects || (Count && !Handles)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  for (uint32_t I = 0; I < Count; ++I) Native[I] = reinterpret_cast<HANDLE>(Handles[I]);
  return true;
}

// Wraps one alertable system wait: routines held back by an earlier
// failure run instead of waiting, as queued routines would.
template <class F>
uint32_t Alertable(bool IsAlertable, F&& SystemWait) {
  if (IsAlertable && RunHeldBackCallbacks()) {
    RaiseCallbackFailure();
    return WAIT_IO_COMPLETION;
  }
  const uint32_t Answer = SystemWait();
  if (IsAlertable) RaiseCallbackFailure();
  return Answer;
}

}  // namespace

uint32_t WaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs,
                                bool IsAlertable) {
  HANDLE Native[kMaxWaitObjects];
  if (!ToNative(Count, Handles, Native)) return kWaitFailed;
  return Alertable(IsAlertable, [&]() -> uint32_t {
    // The system refuses an empty wait; without objects it is a sleep.
    if (Count == 0)
      return ::SleepEx(TimeoutMs, IsAlertable) == WAIT_IO_COMPLETION ? kWaitIoCompletion
                                                                      : kWaitTimeout;
    return ::WaitForMultipleObjectsEx(Count, Native, FALSE, TimeoutMs, IsAlertable);
  });
}

uint32_t WaitForSingleObject(Handle H, uint32_t TimeoutMs, bool IsAlertable) {
  return Alertable(IsAlertable, [&]() -> uint32_t {
    return ::WaitForSingleObjectEx(reinterpret_cast<HANDLE>(H), TimeoutMs, IsAlertable);
  });
}

uint32_t SleepEx(uint32_t TimeoutMs, bool IsAlertable) {
  return Alertable(IsAlertable, [&]() -> uint32_t { return ::SleepEx(TimeoutMs, IsAlertable); });
}

uint32_t MsgWaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs) {
  HANDLE Native[kMaxWaitObjects];
  if (!ToNative(Count, Handles, Native)) return kWaitFailed;
  return Alertable(true, [&]() -> uint32_t {
    return ::MsgWaitForMultipleObjectsEx(Count, Native, TimeoutMs, QS_ALLINPUT,
                                         MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  });
}

bool HasPendingMessages() {
  MSG Msg;
  return ::PeekMessageW(&Msg, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

bool PostEmptyMessage(uint32_t ThreadId) {
  if (ThreadId == ::GetCurrentThreadId()) HasPendingMessages();  // makes the queue
  return ::PostThreadMessageW(ThreadId, WM_USER, 0, 0) != 0;
}

// The system's message queue is the window input: nothing to register.
void SetWindowInputSource(const WindowInputSource&) {}
WindowInputSource GetWindowInputSource() { return {}; }

// A window procedure that failed kept its exception (it runs inside
// DispatchMessageW): the pump stops there and raises it.
void PumpMessages() {
  MSG Msg;
  while (::PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&Msg);
    ::DispatchMessageW(&Msg);
    RaiseCallbackFailure();
  }
  RaiseCallbackFailure();  // a message sent from another thread runs inside PeekMessageW
}

}  // namespace green::os
