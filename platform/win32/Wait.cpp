// Waits: the system's, with its answers unchanged.
#include "platform/win32/Win.h"

#include "platform/Kernel.h"

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

}  // namespace

uint32_t WaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs,
                                bool Alertable) {
  HANDLE Native[kMaxWaitObjects];
  if (!ToNative(Count, Handles, Native)) return kWaitFailed;
  // The system refuses an empty wait; without objects it is a sleep.
  if (Count == 0)
    return ::SleepEx(TimeoutMs, Alertable) == WAIT_IO_COMPLETION ? kWaitIoCompletion : kWaitTimeout;
  return ::WaitForMultipleObjectsEx(Count, Native, FALSE, TimeoutMs, Alertable);
}

uint32_t WaitForSingleObject(Handle H, uint32_t TimeoutMs, bool Alertable) {
  return ::WaitForSingleObjectEx(reinterpret_cast<HANDLE>(H), TimeoutMs, Alertable);
}

uint32_t SleepEx(uint32_t TimeoutMs, bool Alertable) { return ::SleepEx(TimeoutMs, Alertable); }

uint32_t MsgWaitForMultipleObjects(uint32_t Count, const Handle* Handles, uint32_t TimeoutMs) {
  HANDLE Native[kMaxWaitObjects];
  if (!ToNative(Count, Handles, Native)) return kWaitFailed;
  return ::MsgWaitForMultipleObjectsEx(Count, Native, TimeoutMs, QS_ALLINPUT,
                                       MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
}

bool HasPendingMessages() {
  MSG Msg;
  return ::PeekMessageW(&Msg, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

bool PostEmptyMessage(uint32_t ThreadId) {
  if (ThreadId == ::GetCurrentThreadId()) HasPendingMessages();  // makes the queue
  return ::PostThreadMessageW(ThreadId, WM_USER, 0, 0) != 0;
}

void PumpMessages() {
  MSG Msg;
  while (::PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&Msg);
    ::DispatchMessageW(&Msg);
  }
}

}  // namespace green::os
