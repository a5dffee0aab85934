#include "hub/HubEvents.h"

#include <algorithm>

#include "hub/Hub.h"
#include "platform/Error.h"

namespace green {

void TEventTuple::Trigger(bool Aborted) const {
  TCurrentHubScope Scope(Hub);
  Cb(Event, Data, Aborted);
}

void TEvents::Initialize() {
  if (IsInitialized()) return;
  SyncEvent = os::CreateEvent(false, false);
  if (SyncEvent == os::kNoHandle)
    throw EHubError(Format("IO.Serve with error: %s",
                           os::SysErrorMessage(os::GetLastError()).c_str()));
  FBuf[0] = SyncEvent;
  FBufSize = 1;
}

void TEvents::DeInitialize() {
  if (!IsInitialized()) return;
  Dequeue(SyncEvent);
  os::CloseHandle(SyncEvent);
  SyncEvent = os::kNoHandle;
}

bool TEvents::Find(THandle Ev, int32_t& Index) const {
  for (int32_t I = 0; I < FBufSize; ++I) {
    if (FBuf[I] == Ev) {
      Index = I;
      return true;
    }
  }
  Index = -1;
  return false;
}

TEventTuple TEvents::TupleByIndex(int32_t I) const { return {FBuf[I], FCb[I], FData[I], FHub[I]}; }

void TEvents::Enqueue(THandle Ev, TEventCallback Cb, void* Data, TCustomHub* Hub) {
  if (!Cb || FBufSize >= kCapacity) return;
  FBuf[FBufSize] = Ev;
  FCb[FBufSize] = Cb;
  FData[FBufSize] = Data;
  FHub[FBufSize] = Hub;
  ++FBufSize;
}

// Keeps the remaining entries in their order: the wait reports the lowest
// signalled index, so order is priority.
void TEvents::DequeueByIndex(int32_t I) {
  if (I < 0 || I >= FBufSize) return;
  auto Shift = [&](auto& Column) {
    std::copy(Column + I + 1, Column + FBufSize, Column + I);
  };
  Shift(FBuf);
  Shift(FCb);
  Shift(FData);
  Shift(FHub);
  --FBufSize;
}

void TEvents::Dequeue(THandle Ev) {
  int32_t I;
  if (Find(Ev, I)) DequeueByIndex(I);
}

}  // namespace green
