// Waitable timers. The routine is wrapped (the system calls it with its own
// calling convention), so each arming is recorded under a serial number
// that the system hands back to the wrapper. Re-arming, cancelling or
// closing drops the record: a routine of an arming that no longer stands
// never runs, even if the system had already queued it.
#include "platform/win32/Win.h"

#include "platform/Callback.h"
#include "platform/Kernel.h"
#include "platform/win32/Timers.h"

#include <mutex>
#include <unordered_map>

namespace green::os {
namespace {

struct Arming {
  TimerApcProc Routine;
  void* Arg;
  HANDLE Timer;
};

class ArmingTable {
 public:
  uintptr_t Add(HANDLE Timer, TimerApcProc Routine, void* Arg) {
    std::lock_guard Lock(Mutex);
    DropLocked(Timer);
    const uintptr_t Serial = ++LastSerial;
    BySerial.emplace(Serial, Arming{Routine, Arg, Timer});
    ByTimer.emplace(Timer, Serial);
    return Serial;
  }
  void Drop(HANDLE Timer) {
    std::lock_guard Lock(Mutex);
    DropLocked(Timer);
  }
  bool Has(HANDLE Timer) {
    std::lock_guard Lock(Mutex);
    return ByTimer.count(Timer) != 0;
  }
  bool Find(uintptr_t Serial, Arming& Out) {
    std::lock_guard Lock(Mutex);
    const auto It = BySerial.find(Serial);
    if (It == BySerial.end()) return false;
    Out = It->second;
    return true;
  }

 private:
  void DropLocked(HANDLE Timer) {
    const auto It = ByTimer.find(Timer);
    if (It == ByTimer.end()) return;
    BySerial.erase(It->second);
    ByTimer.erase(It);
  }

  std::mutex Mutex;
  uintptr_t LastSerial = 0;
  std::unordered_map<uintptr_t, Arming> BySerial;
  std::unordered_map<HANDLE, uintptr_t> ByTimer;
};

ArmingTable& Armings() {
  static ArmingTable* Table = new ArmingTable;  // outlives every thread's last routine
  return *Table;
}

void RunArming(uintptr_t Serial, DWORD Low, DWORD High) {
  Arming A;
  if (!Armings().Find(Serial, A)) return;
  // Windows passes the expiry as UTC file time. Wine passes its internal
  // (negated, decreasing) monotonic time for relative due times; a file
  // time is never negative, so take the current UTC time instead.
  if (High & 0x80000000u) {
    FILETIME Now;
    ::GetSystemTimeAsFileTime(&Now);
    Low = Now.dwLowDateTime;
    High = Now.dwHighDateTime;
  }
  A.Routine(A.Arg, Low, High);
}

// The arming is looked up when the routine really runs: one held back
// behind a failed routine must not run once its timer was cancelled.
VOID CALLBACK RunTimerRoutine(LPVOID Serial, DWORD Low, DWORD High) {
  const auto S = reinterpret_cast<uintptr_t>(Serial);
  RunSystemCallback([S, Low, High] { RunArming(S, Low, High); });
}

}  // namespace

namespace win32 {

void ForgetTimer(HANDLE Timer) {
  if (!Armings().Has(Timer)) return;
  ::CancelWaitableTimer(Timer);
  Armings().Drop(Timer);
}

}  // namespace win32

Handle CreateWaitableTimer(bool ManualReset) {
  return reinterpret_cast<Handle>(::CreateWaitableTimerW(nullptr, ManualReset, nullptr));
}

bool SetWaitableTimer(Handle Timer, int64_t DueTime, int32_t PeriodMs, TimerApcProc Routine,
                      void* Arg) {
  const auto Native = reinterpret_cast<HANDLE>(Timer);
  LARGE_INTEGER Due;
  Due.QuadPart = DueTime;
  if (!Routine) {
    Armings().Drop(Native);
    return ::SetWaitableTimer(Native, &Due, PeriodMs, nullptr, nullptr, FALSE);
  }
  const uintptr_t Serial = Armings().Add(Native, Routine, Arg);
  if (::SetWaitableTimer(Native, &Due, PeriodMs, RunTimerRoutine,
                         reinterpret_cast<void*>(Serial), FALSE))
    return true;
  const DWORD Error = ::GetLastError();
  Armings().Drop(Native);
  ::SetLastError(Error);
  return false;
}

bool CancelWaitableTimer(Handle Timer) {
  const auto Native = reinterpret_cast<HANDLE>(Timer);
  Armings().Drop(Native);
  return ::CancelWaitableTimer(Native);
}

}  // namespace green::os
