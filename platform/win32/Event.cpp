// Events and closing handles.
#include "platform/win32/Win.h"

#include "platform/Kernel.h"
#include "platform/win32/Timers.h"

namespace green::os {

Handle CreateEvent(bool ManualReset, bool InitialState) {
  return reinterpret_cast<Handle>(::CreateEventW(nullptr, ManualReset, InitialState, nullptr));
}

bool SetEvent(Handle Ev) { return ::SetEvent(reinterpret_cast<HANDLE>(Ev)); }

bool ResetEvent(Handle Ev) { return ::ResetEvent(reinterpret_cast<HANDLE>(Ev)); }

bool CloseHandle(Handle H) {
  const auto Native = reinterpret_cast<HANDLE>(H);
  win32::ForgetTimer(Native);
  return ::CloseHandle(Native);
}

}  // namespace green::os
