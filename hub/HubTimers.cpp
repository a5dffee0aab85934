// Timers and timeouts: kernel waitable timers whose completion routine runs
// on the hub's thread inside its alertable wait.
#include "hub/Hub.h"

namespace green {

namespace {

void STTimerAPCProc(void* Arg, uint32_t, uint32_t) {
  auto* Tuple = static_cast<TTimeoutTuple*>(Arg);
  static_cast<TSingleThreadHub*>(Tuple->Hub)->SetTriggerFlag(true, false);
  Tuple->Trigger();
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
  THandle H = os::CreateWaitableTimer(false);
  if (H == os::kNoHandle) return H;
  const int64_t Due = -(static_cast<int64_t>(Interval) * 10000);
  TTimeoutTuple* Tuple = FTimeouts->Enqueue(H, Cb, Data, this);
  if (ArmWaitableTimer(H, Due, Period, Tuple)) return H;
  FTimeouts->Dequeue(H);
  return os::kNoHandle;
}

THandle TSingleThreadHub::CreateTimeout(TInervalCallback Cb, void* Data, uint32_t Interval) {
  return StartTimer(Cb, Data, Interval, 0);
}

// A period past what the kernel timer takes is clamped to its maximum.
THandle TSingleThreadHub::CreateTimer(TInervalCallback Cb, void* Data, uint32_t Interval) {
  const int32_t Period = Interval > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(Interval);
  return StartTimer(Cb, Data, Interval, Period);
}

void TSingleThreadHub::DestroyTimeout(THandle Id) {
  if (!FTimeouts->Find(Id)) return;
  os::CancelWaitableTimer(Id);
  FTimeouts->Dequeue(Id);
}

void TSingleThreadHub::DestroyTimer(THandle Id) { DestroyTimeout(Id); }

}  // namespace green
