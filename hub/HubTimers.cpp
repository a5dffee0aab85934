// Timers and timeouts: kernel waitable timers whose completion routine runs
// on the hub's thread inside its alertable wait.
#include "hub/Hub.h"

namespace green {

namespace {

void STTimerAPCProc(void* Arg, uint32_t, uint32_t) {
  auto* tuple = static_cast<TTimeoutTuple*>(Arg);
  static_cast<TSingleThreadHub*>(tuple->Hub)->SetTriggerFlag(true, false);
  tuple->Trigger();
}

}  // namespace

bool TSingleThreadHub::ArmWaitableTimer(THandle Timer, int64_t DueTime, int32_t Period,
                                        TTimeoutTuple* Tuple) {
  return os::SetWaitableTimer(Timer, DueTime, Period, &STTimerAPCProc, Tuple);
}

// Relative due times are negative, in 100-ns units; 64-bit so that
// intervals past 7 minutes keep their length. A timer the system refuses
// to arm gives kNoHandle, which DestroyTimeout ignores: its own handle is
// closed at once, and its value may come back for a later timer.
THandle TSingleThreadHub::StartTimer(TInervalCallback Cb, void* Data, uint32_t Interval,
                                     int32_t Period) {
  THandle h = os::CreateWaitableTimer(false);
  if (h == os::kNoHandle) return h;
  const int64_t due = -(static_cast<int64_t>(Interval) * 10000);
  TTimeoutTuple* tuple = FTimeouts->Enqueue(h, Cb, Data, this);
  if (ArmWaitableTimer(h, due, Period, tuple)) return h;
  FTimeouts->Dequeue(h);
  return os::kNoHandle;
}

THandle TSingleThreadHub::CreateTimeout(TInervalCallback Cb, void* Data, uint32_t Interval) {
  return StartTimer(Cb, Data, Interval, 0);
}

// A period past what the kernel timer takes is clamped to its maximum.
THandle TSingleThreadHub::CreateTimer(TInervalCallback Cb, void* Data, uint32_t Interval) {
  const int32_t period = Interval > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(Interval);
  return StartTimer(Cb, Data, Interval, period);
}

void TSingleThreadHub::DestroyTimeout(THandle Id) {
  if (!FTimeouts->Find(Id)) return;
  os::CancelWaitableTimer(Id);
  FTimeouts->Dequeue(Id);
}

void TSingleThreadHub::DestroyTimer(THandle Id) { DestroyTimeout(Id); }

}  // namespace green
